#!/usr/bin/env bash
# Installs the dependencies, builds the project and runs the whole test suite:
#   1. a plain build,
#   2. a build with AddressSanitizer and UndefinedBehaviorSanitizer,
#   3. the tests labelled "tsan" under ThreadSanitizer: the platform's
#      threading (dispatch, run loop, operations, notifications, values), the
#      sockets, the message channel (ipc), logging and HTTP; the list is in
#      tests/CMakeLists.txt.
# Before building, the sources' formatting is checked (scripts/check-format.sh)
# unless VARNEL_CHECK_FORMAT=0. The include-layer check, the shell scripts' check
# (shellcheck) and the checks that the tests leave the temporary folder empty
# and the host untouched are among the tests.
# Warnings are errors in every build, and the debug assertions (queue
# checkers) are compiled into every build.
# Each build's programs and objects are removed once its tests have passed,
# so that only one build at a time takes disk space (the three together are
# larger than a build machine's free disk); files the tests left there, such
# as build/plain/e2e-screenshots, stay. VARNEL_KEEP_BUILDS=1 keeps them all.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
# The demo's system user, which the GUI end-to-end tests run the client as,
# belongs to the set-up like the packages: made before the suite lists the
# host, which it then leaves as it found it.
if [ "$(id -u)" = 0 ]; then
  # shellcheck source=scripts/demo-user.sh
  source scripts/demo-user.sh
  demo_ensure_user
fi

# Formatting check (.clang-format), on unless VARNEL_CHECK_FORMAT=0.
if [ "${VARNEL_CHECK_FORMAT:-1}" != 0 ]; then
  echo "== formatting"
  bash scripts/check-format.sh
fi

JOBS=${JOBS:-$(nproc)}
CTEST_ARGS=(--output-on-failure -j "$JOBS" --timeout 300)

build() {  # build <dir> <sanitizers> [cmake args...]
  local dir=$1 san=$2; shift 2
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARNEL_SANITIZE="$san" "$@" >/dev/null
  cmake --build "$dir" -j "$JOBS"
}

tidy() {  # tidy <dir>: drop a tested build's programs and objects
  if [ "${VARNEL_KEEP_BUILDS:-0}" != 1 ]; then
    cmake --build "$1" --target clean >/dev/null
  fi
}

echo "== plain build"
build build/plain "" -DVARNEL_DCHECKS=ON
(cd build/plain && ctest "${CTEST_ARGS[@]}")
tidy build/plain

echo "== address and undefined-behaviour sanitizers"
build build/asan "address,undefined" -DVARNEL_DCHECKS=ON -DVARNEL_BUILD_BENCH=OFF
(cd build/asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest "${CTEST_ARGS[@]}")
tidy build/asan

echo "== thread sanitizer (tests labelled tsan: platform threading, sockets, ipc, logging, http)"
build build/tsan "thread" -DVARNEL_DCHECKS=ON -DVARNEL_BUILD_BENCH=OFF -DVARNEL_BUILD_UI=OFF
(cd build/tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest "${CTEST_ARGS[@]}" -L tsan)
tidy build/tsan
