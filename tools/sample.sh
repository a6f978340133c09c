#!/usr/bin/env bash
# Installs what the build needs, builds, and runs the main job on the bundled sample target.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/setup.sh
tools/build.sh normal transvia_cli transvia transvia_messages
build/out/transvia inspect --target data/sample-target "$@"
