#!/usr/bin/env bash
# Runs the Python end-to-end tests against the extension built with
# AddressSanitizer and UndefinedBehaviorSanitizer, the sanitizer runtime
# preloaded into the interpreter.
#   tools/asan_python.sh [pytest args...]
# Without arguments it runs the end-to-end subset: the fault suite (scaled
# down, RAVO_FAULT_SCALE), the TCP tests, the producer client tests,
# submit/sample and forking (construction, module-surface and pinning tests
# stay out: they cross no thread or socket). Any ASan or UBSan report fails the run. Leak detection is
# off: the interpreter does not free everything at exit.
set -euo pipefail
cd "$(dirname "$0")/.."
py=${PYTHON:-python3}
dir=build/asan-python
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRAVO_BUILD_MODULE=ON \
      -DRAVO_BUILD_TESTS=OFF -DRAVO_SANITIZE=address -DPython_EXECUTABLE="$(command -v "$py")" >/dev/null
cmake --build "$dir" -j "${JOBS:-2}" --target ravo

if [ $# -eq 0 ]; then
  # The descriptor-exhaustion tests stay out: the sanitizer runtime needs
  # descriptors itself (UBSan's memory-accessibility probe opens a pipe), so
  # with none left it reports a false "invalid vptr" on a freshly built
  # object. Those tests run in the normal suite.
  set -- test_faults.py test_submit_sample.py test_producer_client.py test_fork.py $(cd tests/python && ls test_tcp_*.py 2>/dev/null) \
         -k "not out_of_descriptors and not descriptor_exhaustion"
fi
asan_lib=$(g++ -print-file-name=libasan.so)
ubsan_lib=$(g++ -print-file-name=libubsan.so)
log=$PWD/$dir/sanitizer
rm -f "$log".*
echo "== Python end-to-end tests under ASan+UBSan: $* =="
set +e
(cd tests/python && \
  LD_PRELOAD="$asan_lib $ubsan_lib" PYTHONPATH="$PWD/../../$dir" RAVO_FAULT_SCALE=${RAVO_FAULT_SCALE:-0.5} \
  ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:allocator_may_return_null=1:log_path=$log" \
  UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$log" \
  "$py" -m pytest -q -p no:cacheprovider "$@")
status=$?
set -e
# Warnings (a refused huge allocation that a test asks for) are not
# findings; every error report is.
if compgen -G "$log.*" >/dev/null && grep -lE "ERROR: |runtime error: " "$log".* >/dev/null; then
  echo "sanitizer reports:" >&2
  cat "$log".* >&2
  exit 1
fi
exit $status
