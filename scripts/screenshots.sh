#!/usr/bin/env bash
# Takes the README's screenshots of the windows under Xvfb: the progress window and the tray
# pop-up, at 96 and at 144 dpi, into docs/screenshots/. Builds first; leaves no process behind.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export LANG=C.UTF-8 LC_ALL=C.UTF-8
bash "$root/scripts/setup.sh"
bash "$root/scripts/build.sh"
source "$root/scripts/win-arch.sh"
win_arch_detect "$root"
source "$root/scripts/wine-env.sh"
work=$(mktemp -d /tmp/mirovane-shots.XXXXXX)
trap 'wine_env_stop; rm -rf "$work"' EXIT
wine_env_start "$work/wine"
for dpi in 96 144; do
  wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f </dev/null >/dev/null 2>&1
  wine reg add 'HKLM\System\CurrentControlSet\Hardware Profiles\Current\Software\Fonts' /v LogPixels \
       /t REG_DWORD /d "$dpi" /f </dev/null >/dev/null 2>&1
  wineserver -k >/dev/null 2>&1 || true  # the DPI is read when Wine starts
  setsid wineserver -p </dev/null >/dev/null 2>&1
  # Wine's services start again detached, so that no later pipe is held open by them.
  setsid wine cmd /c exit </dev/null >/dev/null 2>&1
  /usr/bin/python3 "$root/scripts/screenshots.py" "$MV_RUN_BIN" "$root/docs/screenshots" "$dpi" "$work"
done
echo "screenshots: written to docs/screenshots/"
