#!/usr/bin/env bash
# Builds and runs the benchmarks and prints their figures:
#   bench_iteration  the OPC UA server's share of the GUI thread (idle CPU, stalls)
#   bench_sessions   resident memory after 100 and 2 400 client sessions, object
#                    layer beside a bare stack server
#   bench_memory     heap bytes per tag: the stack's node, the object layer, the
#                    store's and the window's rows, the log
#   bench_sync       the gateway's two-way sync with PostgreSQL, each figure beside
#                    the bare stack server and bare SQL figures it builds on, at
#                    1 000, 10 000 and 100 000 rows
# bench_sync runs the built gateway as a separate process against a throwaway
# PostgreSQL cluster on a free loopback port, which it stops and restarts once
# per size to measure an outage; the cluster is removed again at the end.
#
#   scripts/bench.sh [--quick] [--sizes 1000,10000,100000]
#     --quick  fewer samples and shorter phases (four to five minutes; a full run takes longer)
#     --sizes  table sizes in rows, comma-separated
# The build goes to $BENCH_BUILD_DIR (default: build/).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

quick=()
sizes=()
while [ $# -gt 0 ]; do
  case "$1" in
  --quick) quick=(--quick) ;;
  --sizes)
    [ $# -ge 2 ] || { echo "bench: --sizes needs a list" >&2; exit 2; }
    sizes=(--sizes "$2")
    shift
    ;;
  *)
    echo "usage: $0 [--quick] [--sizes 1000,10000,100000]" >&2
    exit 2
    ;;
  esac
  shift
done

build=${BENCH_BUILD_DIR:-$root/build}
"$root/scripts/setup.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
# bench_sync depends on the gateway executable, so this builds it too.
cmake --build "$build" -j"$(nproc)" --target bench_iteration bench_sessions bench_memory bench_sync

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | xargs)," \
  "$(awk '/MemTotal/ {printf "%.0f GiB", $2 / 1048576}' /proc/meminfo), $(uname -sr)"
echo

phase_seconds=5
[ ${#quick[@]} -gt 0 ] && phase_seconds=2
"$build/bench/bench_iteration" "$phase_seconds"
echo
"$build/bench/bench_sessions"
echo
"$build/bench/bench_memory"
echo

pg_dir=$(mktemp -d "${TMPDIR:-/tmp}/gateway-bench-pg.XXXXXX")
trap '"$root/scripts/pg-test-server.sh" stop "$pg_dir"' EXIT
eval "$("$root/scripts/pg-test-server.sh" start "$pg_dir")"
"$build/bench/bench_sync" "${quick[@]}" "${sizes[@]}" --pg-dir "$pg_dir"
