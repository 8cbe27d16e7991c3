# Sourced by the build, test and run scripts: which Windows build runs on this machine.
# The product ships as a 32-bit executable (build/bin). Some Linux machines run no 32-bit
# user code at all (the kernel answers "Exec format error"), and so no 32-bit Wine; there the
# same sources are also built for 64-bit Windows (build64/bin) and run under 64-bit Wine.
# Sets MV_WIN_BITS (32 or 64) and MV_RUN_BIN (the directory of the programs that run here);
# with 64, `wine` on PATH is the 64-bit loader and WINEARCH is win64.
#   win_arch_detect <root>
win_arch_detect() {
  local root=$1
  if [ -n "${MV_WIN_BITS:-}" ]; then
    :
  elif /usr/lib/wine/wine --version >/dev/null 2>&1; then
    MV_WIN_BITS=32
  else
    MV_WIN_BITS=64
  fi
  export MV_WIN_BITS
  if [ "$MV_WIN_BITS" = 64 ]; then
    export MV_RUN_BIN="$root/build64/bin" WINEARCH=win64 WINELOADER=/usr/lib/wine/wine64
    local shim="$root/build64/wine-shim"
    mkdir -p "$shim"
    printf '#!/bin/sh\nexec /usr/lib/wine/wine64 "$@"\n' >"$shim/wine"
    chmod +x "$shim/wine"
    case ":$PATH:" in *":$shim:"*) ;; *) export PATH="$shim:$PATH" ;; esac
  else
    export MV_RUN_BIN="$root/build/bin" WINEARCH=win32
  fi
}
