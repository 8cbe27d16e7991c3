# Sourced by the run and test scripts: starts a private Wine world (prefix, Xvfb display,
# persistent wineserver) and stops it again on exit. Leaves no process behind.
#   wine_env_start <prefix-dir>
wine_env_start() {
  export WINEPREFIX="$1" WINEDEBUG=-all WINEARCH="${WINEARCH:-win32}" WINEDLLOVERRIDES="mscoree,mshtml="
  mkdir -p "$WINEPREFIX"
  # Xvfb chooses a free display itself and names it once it is ready (-displayfd), so two
  # runs never pick the same number between a test and a start.
  local named
  named=$(mktemp)
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$named" >/dev/null 2>&1 &
  WINE_ENV_XVFB=$!
  trap wine_env_stop EXIT
  local n=""
  for _ in $(seq 100); do
    # The number counts once its line is complete.
    [ "$(wc -l <"$named")" -ge 1 ] && { n=$(tr -dc 0-9 <"$named"); break; }
    kill -0 "$WINE_ENV_XVFB" 2>/dev/null || break
    sleep 0.1
  done
  rm -f "$named"
  if [ -z "$n" ]; then
    echo "wine-env: Xvfb did not start (no display named in 10 s)" >&2
    return 1
  fi
  export DISPLAY=":$n"
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
