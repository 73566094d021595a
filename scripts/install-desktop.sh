#!/usr/bin/env bash
# Makes the built application appear in the desktop's menus: renders the icon set from
# resources/korvu-darivir.svg with the program itself, installs the icons into the hicolor
# theme and a desktop entry that starts build/bin/korvu-darivir, all under
# $XDG_DATA_HOME (default ~/.local/share). Usage: scripts/install-desktop.sh [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-${KORVU_BUILD_DIR:-$root/build}}" && pwd)
program="$build/bin/korvu-darivir"
data="${XDG_DATA_HOME:-$HOME/.local/share}"

rendered=$(mktemp -d)
trap 'rm -rf "$rendered"' EXIT
"$program" --render-icon "$rendered" "$root/resources/korvu-darivir.svg"

# The set's scale-1 images give 16 to 512 pixels; the 32-point image at scale 2 gives 64.
for size in 16 32 128 256 512; do
  install -D -m 644 "$rendered/icon_${size}x${size}.png" "$data/icons/hicolor/${size}x${size}/apps/korvu-darivir.png"
done
install -D -m 644 "$rendered/icon_32x32@2x.png" "$data/icons/hicolor/64x64/apps/korvu-darivir.png"
install -D -m 644 "$root/resources/korvu-darivir.svg" "$data/icons/hicolor/scalable/apps/korvu-darivir.svg"

# Exec takes the path quoted, so a checkout under a folder with spaces still starts.
exec_line="\"$(printf '%s' "$program" | sed 's/[\\"`$]/\\\\&/g')\""
mkdir -p "$data/applications"
while IFS= read -r line; do
  if [[ "$line" == "Exec=@EXEC@" ]]; then printf 'Exec=%s\n' "$exec_line"; else printf '%s\n' "$line"; fi
done < "$root/resources/korvu-darivir.desktop.in" > "$data/applications/korvu-darivir.desktop"
chmod 644 "$data/applications/korvu-darivir.desktop"

command -v update-desktop-database >/dev/null && update-desktop-database -q "$data/applications" || true
command -v gtk-update-icon-cache >/dev/null && gtk-update-icon-cache -q -t "$data/icons/hicolor" 2>/dev/null || true
echo "install-desktop: KORVU Darivir is in the desktop's menus ($data/applications/korvu-darivir.desktop)"
