#!/usr/bin/env bash
# Runs every test: the C++ core suite under ASan+UBSan and under TSan, then
# the Python suite against a fresh install of the package.
set -euo pipefail
cd "$(dirname "$0")/.."
py=${PYTHON:-python3}
bash tools/setup.sh

jobs=${JOBS:-2}
for san in address thread; do
  dir=build/test-$san
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRAVO_BUILD_MODULE=OFF \
        -DRAVO_BUILD_TESTS=ON -DRAVO_SANITIZE=$san >/dev/null
  cmake --build "$dir" -j "$jobs"
  echo "== C++ tests under $( [ $san = address ] && echo ASan+UBSan || echo TSan ) =="
  # TSan cannot map its shadow memory under the kernel's full mmap
  # randomisation; run it without address-space randomisation.
  # ravo_interposed_tests: the tests that replace a libc call for their whole
  # executable.
  for bin in ravo_tests ravo_interposed_tests; do
    if [ $san = thread ]; then
      TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 allocator_may_return_null=1" setarch "$(uname -m)" -R "$dir/tests/cpp/$bin"
    else
      ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:allocator_may_return_null=1" UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
        "$dir/tests/cpp/$bin"
    fi
  done
done

echo "== Python tests =="
# The stand-in CUDA runtime that the pinning tests load (built without
# sanitizers, so a plain interpreter can load it).
export RAVO_FAKE_CUDART="$PWD/build/test-address/tests/cpp/support/full/libcudart.so.12"
# The C++ actor example, built with the C++ tests (under ASan+UBSan).
export RAVO_CPP_ACTOR="$PWD/build/test-address/examples/cpp_actor"
"$py" -m pip install -q --no-build-isolation . 2>&1 | grep -v "Running pip as the 'root' user" || true
"$py" -c "import ravo" # fails loudly if the install did not work
cd tests/python && "$py" -m pytest -q -p no:cacheprovider .

# ---- Reliability stages (appended) -----------------------------------------
# The fault-injection suite (tests/python/test_faults.py) already ran above
# with the Python suite. Here: the Python end-to-end tests once more against
# the extension built with ASan+UBSan, then a short libFuzzer run per target.
# Both start from the repository root, wherever the stages above left off.
while [ ! -f tools/test.sh ] && [ "$PWD" != / ]; do cd ..; done
bash tools/asan_python.sh
bash tools/fuzz.sh "${RAVO_FUZZ_SECONDS:-15}"
