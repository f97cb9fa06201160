#!/usr/bin/env bash
# Builds the whole project with AddressSanitizer and UndefinedBehaviorSanitizer into
# build-asan/ and runs every CTest test there.
#   scripts/sanitize.sh             configure, build, test
#   BUILD_DIR=... JOBS=... scripts/sanitize.sh
# The build gets its own folder so it never disturbs the ordinary build/; every step is
# bounded in time so a hung build or test cannot stall CI.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
readonly ROOT=$PWD
readonly BUILD_DIR=${BUILD_DIR:-build-asan}
readonly JOBS=${JOBS:-$(nproc)}
readonly BUILD_TIMEOUT=${BUILD_TIMEOUT:-3600}
readonly TEST_TIMEOUT=${TEST_TIMEOUT:-1800}
readonly SUPPRESSIONS=$ROOT/fuzz/lsan.supp

started=$SECONDS

# The printer tests need the local CUPS queues; the CTest fixture prepares them too, but
# doing it first makes a broken CUPS show up as such and not as a failing test.
if ! timeout 300 scripts/cups-test-queue.sh; then
    echo "sanitize: CUPS queues are not ready; the printer tests will fail" >&2
fi

timeout 600 cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPOSKAVELIN_SANITIZE=ON >/dev/null
timeout "$BUILD_TIMEOUT" cmake --build "$BUILD_DIR" -j"$JOBS"

# A leak or error fails the test that has it; the suppressions may cover only allocations
# made and kept inside system libraries. The quarantine of freed memory (256 MB by
# default) would count as growth in the tests that bound the resident size; 16 MB still
# holds every recent free for use-after-free reports.
asan=detect_leaks=1:halt_on_error=1:print_stacktrace=1:strict_string_checks=1
asan+=:detect_stack_use_after_return=1:check_initialization_order=1:quarantine_size_mb=16
export ASAN_OPTIONS=$asan
export LSAN_OPTIONS=suppressions=$SUPPRESSIONS:print_suppressions=0:report_objects=0
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export QT_QPA_PLATFORM=offscreen

status=0
timeout "$TEST_TIMEOUT" ctest --test-dir "$BUILD_DIR" --output-on-failure || status=$?
echo "sanitize: $((SECONDS - started)) s"
exit "$status"
