#!/usr/bin/env bash
# Installs what the build needs, builds, and runs the whole test suite.
#   tools/test.sh             normal build
#   tools/test.sh --sanitize  AddressSanitizer + UndefinedBehaviorSanitizer build
set -euo pipefail
cd "$(dirname "$0")/.."

kind=normal
[ "${1:-}" = "--sanitize" ] && kind=sanitize
dir=build
[ "$kind" = sanitize ] && dir=build-sanitize

tools/setup.sh
tools/build.sh "$kind"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
ctest --test-dir "$dir" --output-on-failure -j "$(nproc)"
