#!/usr/bin/env bash
# Builds a working copy of the bundled sample target: the committed tree under
# data/sample-target plus its registry hives, made from the readable .reg sources in
# data/sample-registry with our own hive tools, and the Driver Cache cabinet of the sample
# drivers when it has been built (target transvia_sample_cab). The committed sample is
# never changed.
#   tools/make_sample_target.sh TRANSVIA_PROGRAM OUTPUT_FOLDER
set -euo pipefail
cd "$(dirname "$0")/.."

program=$1
out=$2
rm -rf "$out"
mkdir -p "$(dirname "$out")"
cp -r data/sample-target "$out"
config="$out/Windows/System32/config"
# Folders every restored Windows has, which git does not keep while they are empty.
mkdir -p "$config" "$out/Windows/inf" "$out/Windows/System32/drivers"
# Root key names as Windows setup gives them; fixed, so every build makes the same bytes.
declare -A roots=([SYSTEM]="CMI-CreateHive{2A7FB991-7BBE-4F9D-B91E-7CB51D4737F5}"
                  [SOFTWARE]="CMI-CreateHive{199DAFC2-6F16-4946-BF90-5A3FC3A60902}")
for hive in SYSTEM SOFTWARE; do
  "$program" reg new "$config/$hive" --root "${roots[$hive]}" >/dev/null
  "$program" reg import "$config/$hive" "data/sample-registry/$hive.reg" --prefix "HKEY_LOCAL_MACHINE\\$hive" >/dev/null
done
cab="$(dirname "$program")/../sample/tvsample.cab"
if [ -f "$cab" ]; then
  mkdir -p "$out/Windows/Driver Cache/amd64"
  cp "$cab" "$out/Windows/Driver Cache/amd64/"
fi
