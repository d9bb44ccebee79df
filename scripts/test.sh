#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
#   scripts/test.sh             the normal build, in build/
#   scripts/test.sh --sanitize  the same tests with AddressSanitizer and UBSan, in build-asan/
#   scripts/test.sh --tsan      the same tests with ThreadSanitizer, in build-tsan/
#   scripts/test.sh --fuzz      a minute of libFuzzer on the request parser, in build-fuzz/
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc)
case "${1:-}" in
  "")
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build build -j "$jobs"
    ctest --test-dir build --output-on-failure -j "$jobs"
    ;;
  --sanitize)
    export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    # print_suppressions=0: the summary would land on the standard error the tests read.
    export LSAN_OPTIONS="suppressions=$PWD/scripts/lsan-suppressions.txt:print_suppressions=0"
    cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" \
      -DORBISCOPE_SANITIZE=ON -DORBISCOPE_BENCH=OFF >/dev/null
    cmake --build build-asan -j "$jobs"
    ctest --test-dir build-asan --output-on-failure -j "$jobs"
    ;;
  --tsan)
    # halt_on_error: a race fails its test instead of scrolling past in the output.
    export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
    # Without the window: Debian's Qt is not built for the sanitizer, whose view of Qt's own
    # threads (futexes, inline atomics) is then a stream of false reports that slows painting
    # to a crawl. The window's tests run in the two other builds; the threads they would
    # exercise here (capture, controller, server) run under the headless tests.
    cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" \
      -DORBISCOPE_TSAN=ON -DORBISCOPE_BENCH=OFF -DORBISCOPE_GUI=OFF >/dev/null
    cmake --build build-tsan -j "$jobs"
    ctest --test-dir build-tsan --output-on-failure -j "$jobs"
    ;;
  --fuzz)
    CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DORBISCOPE_FUZZ=ON -DORBISCOPE_BENCH=OFF -DORBISCOPE_GUI=OFF >/dev/null
    cmake --build build-fuzz -j "$jobs" --target fuzz_client_request
    ctest --test-dir build-fuzz -L fuzz --output-on-failure
    ;;
  *)
    echo "usage: scripts/test.sh [--sanitize|--tsan|--fuzz]" >&2
    exit 2
    ;;
esac
