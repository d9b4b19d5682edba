#!/usr/bin/env bash
# Sets up what is missing, builds, registers the ODBC driver the tests need as
# "SQL Server" and runs the whole suite through ctest. The sync suite starts
# and stops a throwaway PostgreSQL cluster of its own. When tst_package is among
# the tests run, the Debian package is built, checked and unpacked for it first.
#   scripts/test.sh              the normal build, in build/
#   scripts/test.sh --sanitize   address + undefined sanitizers, in build-asan/
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
cmake_args=()
if [ "${1:-}" = "--sanitize" ]; then
  build=$root/build-asan
  cmake_args=(-DGATEWAY_SANITIZE=ON)
  shift
fi

"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$build" "${cmake_args[@]}"

work=$(mktemp -d /tmp/gateway-test.XXXXXX)
trap 'rm -rf "$work"' EXIT

# The program reaches SQL Server through the ODBC driver named "SQL Server";
# for the tests that name points at the SQLite ODBC driver.
odbc_driver=$(ls /usr/lib/*/odbc/libsqlite3odbc.so | head -n 1)
mkdir -p "$work/odbc"
printf '[SQL Server]\nDescription = test stand-in for SQL Server\nDriver = %s\n' \
  "$odbc_driver" >"$work/odbc/odbcinst.ini"
: >"$work/odbc/odbc.ini"
export ODBCSYSINI=$work/odbc
export GATEWAY_TEST_ODBC=1

# The package's files, its desktop entry, its unit and its metadata, each with
# the tool for it where that tool is installed; unpacked for tst_package.
check_package() {
  local out=$work/package
  local root=$out/root
  (cd "$build" && cpack -G DEB -B "$out" >/dev/null)
  local deb
  deb=$(ls "$out"/opcua-sql-gateway_*.deb)
  echo "package: $(basename "$deb")"
  local listing
  listing=$(dpkg -c "$deb")
  local path
  for path in /usr/bin/opcua-sql-gateway \
    /usr/share/opcua-sql-gateway/settings/{settings,sql,tags}.json \
    /usr/share/opcua-sql-gateway/qss/tableview_sm.qss \
    /usr/share/applications/opcua-sql-gateway.desktop /usr/share/pixmaps/opcua-sql-gateway.png \
    /lib/systemd/system/opcua-sql-gateway.service /usr/lib/sysusers.d/opcua-sql-gateway.conf \
    /usr/share/doc/opcua-sql-gateway/copyright /usr/share/man/man1/opcua-sql-gateway.1.gz; do
    if ! grep -q " \.$path\$" <<<"$listing"; then
      echo "package: $path is missing" >&2
      exit 1
    fi
  done
  dpkg -x "$deb" "$root"
  if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$root/usr/share/applications/opcua-sql-gateway.desktop"
  else
    echo "package: desktop-file-validate is not installed: desktop entry NOT checked"
  fi
  if command -v systemd-analyze >/dev/null; then
    # The unpacked root has no system units for the unit's own dependencies.
    systemd-analyze verify --root="$root" --recursive-errors=no \
      /lib/systemd/system/opcua-sql-gateway.service
  else
    echo "package: systemd-analyze is not installed: service unit NOT checked"
  fi
  if command -v lintian >/dev/null; then
    lintian --fail-on error "$deb"
  else
    echo "package: lintian is not installed: package metadata NOT checked"
  fi
  export GATEWAY_PACKAGE_ROOT=$root
}
selected=$(ctest --test-dir "$build" -N "$@")
if grep -q ' tst_package$' <<<"$selected"; then
  check_package
fi

ctest --test-dir "$build" --output-on-failure -j2 "$@"
