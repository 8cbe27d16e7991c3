#!/usr/bin/env bash
# Writes the README's settings reference (between the settings-reference markers) from the
# table in src/config/settings_reference.cpp, as `mirovane-embed --reference` prints it.
# Run it after changing the table (build first: bash scripts/build.sh); the black-box test
# test_vendor_tools.py fails while the README differs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/win-arch.sh"
win_arch_detect "$root"
source "$root/scripts/wine-env.sh"
prefix=$(mktemp -d)
wine_env_start "$prefix/wine"
trap 'wine_env_stop; rm -rf "$prefix"' EXIT
table=$(mktemp)
wine "$MV_RUN_BIN/mirovane-embed.exe" --reference </dev/null >"$table"
python3 - "$root/README.md" "$table" <<'PY'
import pathlib, sys
readme, table = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2]).read_text()
text = readme.read_text()
begin, end = "<!-- settings-reference:begin -->\n", "<!-- settings-reference:end -->"
a, b = text.index(begin) + len(begin), text.index(end)
readme.write_text(text[:a] + table.lstrip("\n") + "\n" + text[b:])
PY
rm -f "$table"
echo "settings-reference: README.md updated"
