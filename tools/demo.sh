#!/usr/bin/env bash
# The main job: installs ravo and runs the demo (see README).
set -euo pipefail
cd "$(dirname "$0")/.."
py=${PYTHON:-python3}
bash tools/setup.sh
"$py" -m pip install -q --no-build-isolation . 2>&1 | grep -v "Running pip as the 'root' user" || true
exec "$py" examples/demo.py "$@"
