#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the oracles need.
# Idempotent: packages already present are not fetched again.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config python3
  libicu-dev libmspack-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libcli11-dev nlohmann-json3-dev
  # independent oracles for tests
  python3-hivex libhivex-bin libhivex-dev libregf-utils gcab cabextract
  # fuzzing (fuzz/run.sh): clang with libFuzzer and the sanitizer runtimes, symbolized traces
  clang libclang-rt-dev llvm
)

# packaging: the manual page and the Debian package checks of tools/package.sh
packages+=(help2man lintian dpkg-dev file)

# the assistant package: transvia_assistant.exe is cross-compiled for Windows x64, and
# its tests run it under wine
packages+=(gcc-mingw-w64-x86-64 wine64)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
