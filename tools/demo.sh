#!/usr/bin/env bash
# The main job: installs ravo and runs the demo (see README).
# Installs into $PYTHON (default: the python3 first on PATH).
set -euo pipefail
# A --cpp-actor path given relative to the caller's directory must survive
# the move to the repository root below; a bare name is looked up on PATH.
args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --cpp-actor)
      args+=("$1"); shift
      if [ $# -gt 0 ]; then
        case "$1" in */*) args+=("$(realpath -m -- "$1")") ;; *) args+=("$1") ;; esac
        shift
      fi ;;
    --cpp-actor=*/*) args+=("--cpp-actor=$(realpath -m -- "${1#--cpp-actor=}")"); shift ;;
    *) args+=("$1"); shift ;;
  esac
done
cd "$(dirname "$0")/.."
py=${PYTHON:-python3}
bash tools/setup.sh
"$py" -m pip install -q --no-build-isolation . 2>&1 | grep -v "Running pip as the 'root' user" || true
exec "$py" examples/demo.py ${args[@]+"${args[@]}"}
