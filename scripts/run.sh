#!/usr/bin/env bash
# Sets up what is missing, builds, and starts the gateway beside its default
# configuration (SQLite). Without a display it runs offscreen and still serves
# OPC UA on the port of settings/settings.json.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build"
app_dir="$root/build/app"
"$root/scripts/seed-demo.sh" "$app_dir"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
fi
exec "$app_dir/OpcUaSqlGateway"
