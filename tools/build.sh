#!/usr/bin/env bash
# Configures and builds one build type into its own folder.
#   tools/build.sh [normal|sanitize] [targets...]
set -euo pipefail
cd "$(dirname "$0")/.."

kind=${1:-normal}
shift || true
case "$kind" in
  normal)   dir=build;          type=RelWithDebInfo ;;
  sanitize) dir=build-sanitize; type=Sanitize ;;
  *) echo "unknown build kind: $kind" >&2; exit 2 ;;
esac

extra=()
[ "$kind" = sanitize ] && extra+=(-DTRANSVIA_BENCH=OFF)
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="$type" "${extra[@]}" >/dev/null
cmake --build "$dir" -j "$(nproc)" ${1:+--target "$@"}
