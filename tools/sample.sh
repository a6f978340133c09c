#!/usr/bin/env bash
# Installs what the build needs, builds, and runs the main job on the bundled sample target:
# `transvia install` with the sample driver package on a fresh copy of the sample, then
# shows what changed in it.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/setup.sh
tools/build.sh normal transvia_cli transvia transvia_messages transvia_hwdb transvia_assistant_inf transvia_assistant \
  transvia_sample_cab
# The job works on a fresh copy of the sample, never on the committed files.
tools/make_sample_target.sh build/out/transvia build/sample-target
target=build/sample-target
status=0
build/out/transvia install --target "$target" --storage data/sample-drivers/tvsample \
  --hardware data/sample-drivers/sample-hardware.txt --no-prompt --json build/sample-report.json "$@" || status=$?

echo
echo "== what changed in $target"
echo "-- the sample driver's service (SYSTEM, ControlSet001\\Services\\tvsample):"
build/out/transvia reg export "$target/Windows/System32/config/SYSTEM" 'ControlSet001\Services\tvsample' \
  --prefix 'HKLM\SYSTEM' | tail -n +3 || true
python3 - build/sample-report.json "$target" <<'PY' || true
import json, sys
report = json.load(open(sys.argv[1]))
files = report["written"]["files"]
print("-- files written (from the run's report, build/sample-report.json):")
for f in files:
    print("  " + f)
print("-- published INF files:")
for f in files:
    if f.lower().startswith("windows/inf/") and f.lower().endswith(".inf"):
        print("  " + f)
print("-- %d registry keys written in SYSTEM, %d removed" % (len(report["written"]["keys"]), len(report["written"]["removed_keys"])))
PY
exit $status
