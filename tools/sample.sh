#!/usr/bin/env bash
# Installs what the build needs, builds, and runs the main job on the bundled sample target.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/setup.sh
tools/build.sh normal transvia_cli transvia transvia_messages transvia_hwdb transvia_assistant_inf transvia_assistant
# The job works on a fresh copy of the sample, never on the committed files.
tools/make_sample_target.sh build/out/transvia build/sample-target
build/out/transvia inspect --target build/sample-target "$@"
