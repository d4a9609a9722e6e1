#!/bin/sh
# Runs one program of the test suite, as ctest starts each test: the suite's
# tag VARNEL_TEST_SUITE (the build's) gains the tag of this test run,
# ".<pid>.<start time>" of the ctest that started it (this script's parent),
# and the program replaces this script. The clean-up of a run
# (suite_fixtures.py host-check, started by the same ctest) so ends what its
# own run left running, never the programs of another ctest run of the same
# build. Usage: run_tagged.sh PROGRAM [ARGUMENT...]
if [ -n "${VARNEL_TEST_SUITE:-}" ]; then
  # Field 22 of stat is the start time; the name (field 2) may hold spaces,
  # so the fields are counted after its closing parenthesis.
  start=$(sed 's/.*) //' "/proc/$PPID/stat" 2>/dev/null | cut -d' ' -f20)
  if [ -n "$start" ]; then
    VARNEL_TEST_SUITE="$VARNEL_TEST_SUITE.$PPID.$start"
    export VARNEL_TEST_SUITE
  fi
fi
exec "$@"
