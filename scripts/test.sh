#!/usr/bin/env bash
# Sets up what is missing, builds, registers the ODBC driver the tests need as
# "SQL Server" and runs the whole suite through ctest. The sync suite starts
# and stops a throwaway PostgreSQL cluster of its own.
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

ctest --test-dir "$build" --output-on-failure -j2 "$@"
