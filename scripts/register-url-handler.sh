#!/usr/bin/env bash
# Makes the agent the handler of the zimracert:// and zimracerts:// URLs for
# the current user: a desktop entry in ~/.local/share/applications that runs
# the built executable with the URL, made the default with xdg-mime.
#
#   bash scripts/register-url-handler.sh [path/to/zimracert]
#
# The default executable is that of the plain build (build/release/zimracert).
set -euo pipefail
cd "$(dirname "$0")/.."

agent=$(realpath -m "${1:-build/release/zimracert}")
if [ ! -x "$agent" ]; then
  echo "register-url-handler: no executable at $agent (build it first)" >&2
  exit 1
fi
command -v xdg-mime >/dev/null 2>&1 || {
  echo "register-url-handler: xdg-mime is missing (Debian package xdg-utils)" >&2
  exit 1
}

apps="${XDG_DATA_HOME:-$HOME/.local/share}/applications"
entry="$apps/zimracert.desktop"
mkdir -p "$apps"
# A plain path stands bare (xdg-open's own fallback reads only that); any
# other is quoted, with "\", '"', '`' and '$' escaped.
if [[ "$agent" =~ ^[A-Za-z0-9/._+-]+$ ]]; then
  quoted=$agent
else
  quoted="\"$(printf '%s' "$agent" | sed -e 's/[\\"`$]/\\&/g')\""
fi
cat >"$entry" <<DESKTOP
[Desktop Entry]
Type=Application
Name=zimraCert certificate agent
Comment=Lets a web page list, export and import NPKI certificates
Exec=$quoted %u
Terminal=false
NoDisplay=true
MimeType=x-scheme-handler/zimracert;x-scheme-handler/zimracerts;
DESKTOP

for scheme in zimracert zimracerts; do
  xdg-mime default zimracert.desktop "x-scheme-handler/$scheme"
done
if command -v update-desktop-database >/dev/null 2>&1; then
  update-desktop-database "$apps" >/dev/null 2>&1 || true
fi
echo "register-url-handler: $entry runs $agent for zimracert:// and zimracerts://"
