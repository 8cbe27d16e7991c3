# Sourced by the run and test scripts: starts a private Wine world (prefix, Xvfb display,
# persistent wineserver) and stops it again on exit. Leaves no process behind.
#   wine_env_start <prefix-dir>
wine_env_start() {
  export WINEPREFIX="$1" WINEDEBUG=-all WINEARCH="${WINEARCH:-win32}" WINEDLLOVERRIDES="mscoree,mshtml="
  mkdir -p "$WINEPREFIX"
  # A free X display: the first number without a lock file or socket.
  local n=90
  while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
  Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
  WINE_ENV_XVFB=$!
  trap wine_env_stop EXIT
  export DISPLAY=":$n"
  for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
  if [ ! -e "/tmp/.X11-unix/X$n" ]; then
    echo "wine-env: Xvfb did not start on display :$n" >&2
    return 1
  fi
  # A persistent server, detached, so that every Windows process starts fast and no
  # service inherits the caller's pipes.
  if ! setsid wineserver -p </dev/null >/dev/null 2>&1; then
    echo "wine-env: wineserver could not start" >&2
    return 1
  fi
  # The first process creates the prefix and starts Wine's services.
  if ! setsid wine cmd /c exit </dev/null >/dev/null 2>&1; then
    echo "wine-env: wine could not start in $WINEPREFIX" >&2
    return 1
  fi
}

wine_env_stop() {
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  [ -n "${WINE_ENV_XVFB:-}" ] && kill "$WINE_ENV_XVFB" >/dev/null 2>&1 || true
  wait "${WINE_ENV_XVFB:-}" 2>/dev/null || true
  WINE_ENV_XVFB=
}
