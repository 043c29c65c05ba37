#!/usr/bin/env bash
# Installs what a fresh machine lacks to build, test and benchmark ravo.
# Idempotent: skips what is already there. Needs root for apt-get (as on CI).
set -euo pipefail

need_apt=()
[ -f /usr/include/gtest/gtest.h ] || need_apt+=(libgtest-dev)
[ -f /usr/include/gmock/gmock.h ] || need_apt+=(libgmock-dev)
command -v g++ >/dev/null || need_apt+=(g++)
if [ ${#need_apt[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${need_apt[@]}" >/dev/null
fi

py=${PYTHON:-python3}
missing=$("$py" - <<'PY'
import importlib.util
mods = {"numpy": "numpy>=1.25", "pytest": "pytest>=7", "pytest_timeout": "pytest-timeout>=2",
        "scikit_build_core": "scikit-build-core>=0.10", "cmake": "cmake>=3.24", "ninja": "ninja"}
print(" ".join(spec for mod, spec in mods.items() if importlib.util.find_spec(mod) is None))
PY
)
if [ -n "$missing" ]; then
  # shellcheck disable=SC2086
  "$py" -m pip install -q $missing
fi
