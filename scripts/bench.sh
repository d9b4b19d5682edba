#!/usr/bin/env bash
# Builds and runs the benchmarks and prints their figures.
#   scripts/bench.sh [seconds per phase]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build"
"$root/build/bench/bench_iteration" "${1:-5}"
