#!/usr/bin/env bash
# Installs what is needed, checks the format, builds, and runs every test twice:
# once in the Debian package's build (gcc) and once under AddressSanitizer +
# UndefinedBehaviorSanitizer (clang, warnings as errors).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/bootstrap.sh
bash scripts/check-format.sh

export QT_QPA_PLATFORM=offscreen
jobs=$(nproc)

# The plain build is the Debian package's: dpkg-buildpackage builds with the
# distribution's flags and hardening, runs every test (ctest) in that build,
# and makes the packages, which are then linted and tried unpacked.
bash scripts/package.sh

# Every fuzz target (tests/fuzz) from its seed corpus, for a short time each.
bash scripts/fuzz.sh 15

# The parallel presses under ThreadSanitizer: only the command line's tests
# and the modules they load are built, and only their concurrent cases run.
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKV_SANITIZE_THREAD=ON \
  -DKV_BUILD_GUI=OFF -DKV_BUILD_BENCH=OFF
cmake --build build-tsan -j "$jobs" --target cli_tests
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1" build-tsan/bin/cli_tests --gtest_filter='Parallel*'

# The sanitizer build is clang's, with every warning an error: clang warns
# where gcc does not, and a new warning fails here.
CC=clang CXX=clang++ cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKV_SANITIZE=ON -DKV_WERROR=ON \
  -DKV_BUILD_BENCH=OFF
cmake --build build-asan -j "$jobs"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:strict_string_checks=1"
export LSAN_OPTIONS="suppressions=$PWD/tests/sanitizers/lsan.supp"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
(cd build-asan && ctest -j "$jobs" --output-on-failure --timeout 300)
