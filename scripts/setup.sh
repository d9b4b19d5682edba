#!/usr/bin/env bash
# Installs everything the gateway needs to build, run and test on Debian 12.
# Idempotent: packages already present are left alone.
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config clang-format ccache
  qtbase5-dev qtbase5-dev-tools
  libqt5sql5-sqlite libqt5sql5-psql libqt5sql5-odbc
  unixodbc unixodbc-dev libsqliteodbc odbc-postgresql
  postgresql sqlite3 fonts-liberation
  dpkg-dev file desktop-file-utils lintian
)
# The stack's CMake package also wants its tools folder (schemas, nodeset compiler).
STACK_PACKAGES=(libopen62541-1.4-dev libopen62541-1.4-tools)

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

missing_packages() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || echo "$p"
  done
}

# The OPC UA stack 1.4 is packaged only from the next Debian release on: add that
# suite with the machine's own mirror and key, pinned low so nothing else upgrades.
add_stack_source() {
  local list=/etc/apt/sources.list.d/gateway-trixie.sources
  local prefs=/etc/apt/preferences.d/gateway-trixie
  [ -f "$list" ] && [ -f "$prefs" ] && return 1
  local own=/etc/apt/sources.list.d/debian.sources
  local uris signed
  uris=$(awk '/^URIs:/ && $2 !~ /security/ {print $2; exit}' "$own")
  signed=$(awk '/^Signed-By:/ {print $2; exit}' "$own")
  if [ -z "$uris" ]; then
    echo "setup: cannot read the Debian mirror from $own" >&2
    exit 1
  fi
  printf 'Types: deb\nURIs: %s\nSuites: trixie\nComponents: main\nSigned-By: %s\n' \
    "$uris" "${signed:-/usr/share/keyrings/debian-archive-keyring.gpg}" | $SUDO tee "$list" >/dev/null
  printf 'Package: *\nPin: release n=trixie\nPin-Priority: 100\n' | $SUDO tee "$prefs" >/dev/null
  return 0
}

need=$(missing_packages "${PACKAGES[@]}" "${STACK_PACKAGES[@]}")
if [ -z "$need" ]; then
  exit 0
fi

export DEBIAN_FRONTEND=noninteractive
add_stack_source || true
$SUDO apt-get update -qq
base=$(missing_packages "${PACKAGES[@]}")
if [ -n "$base" ]; then
  # shellcheck disable=SC2086
  $SUDO apt-get install -y -qq --no-install-recommends $base
fi
stack=$(missing_packages "${STACK_PACKAGES[@]}")
if [ -n "$stack" ]; then
  # shellcheck disable=SC2086
  $SUDO apt-get install -y -qq --no-install-recommends $(printf '%s/trixie ' $stack)
fi
