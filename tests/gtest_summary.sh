#!/bin/sh
# Runs a GoogleTest program (the arguments: the program, perhaps behind an
# emulator, and its options) and passes only when it exits with status 0 and
# its own closing summary says that every test it ran passed or was skipped.
# A program that dies after printing failures, or before it ran anything,
# fails however it exits. A test listing (CTest's discovery) passes through.
case " $* " in
  *" --gtest_list_tests "*) exec "$@" ;;
esac
output=$(mktemp)
trap 'rm -f "$output"' EXIT
"$@" >"$output" 2>&1
status=$?
cat "$output"
count() {
  sed -n "s/^\[$1\] \([0-9][0-9]*\) tests\{0,1\}[ .,].*/\1/p" "$output" | tail -n 1
}
ran=$(count '==========')
passed=$(count '  PASSED  ')
skipped=$(count '  SKIPPED ')
if [ "$status" -ne 0 ]; then
  echo "gtest_summary: the program exited with status $status" >&2
  exit 1
fi
if [ -z "$ran" ] || [ "$ran" -eq 0 ] || [ "$((${passed:-0} + ${skipped:-0}))" -ne "$ran" ]; then
  echo "gtest_summary: the program's summary does not say that every test ran and passed" \
    "(ran ${ran:-none}, passed ${passed:-none}, skipped ${skipped:-0})" >&2
  exit 1
fi
