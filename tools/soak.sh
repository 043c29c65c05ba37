#!/usr/bin/env bash
# The soak run (not part of CI): installs ravo, then 64 producers with random
# faults stream at least 10 million samples while the consumer sometimes
# stalls; prints samples delivered and lost, resident memory and fault counts.
set -euo pipefail
cd "$(dirname "$0")/.."
py=${PYTHON:-python3}
bash tools/setup.sh
"$py" -m pip install -q --no-build-isolation . 2>&1 | grep -v "Running pip as the 'root' user" || true
exec "$py" tools/soak.py "$@"
