#!/usr/bin/env bash
# Line coverage of src/ and vitreon/ by the whole test suite: an unoptimised build with gcc's
# --coverage in build/coverage, every test run once, then a gcovr summary. Test failures are
# reported but the coverage is printed all the same. Not part of CI (slow).
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bash scripts/setup.sh || exit 1

cmake --preset coverage >/dev/null || exit 1
cmake --build --preset coverage || exit 1
# Counters from an earlier run would add up with this one.
find build/coverage -name '*.gcda' -delete

ctest --preset coverage
tests_rc=$?

gcovr --root "$root" --filter "$root/src/" --filter "$root/vitreon/" \
  --gcov-ignore-parse-errors -j 2 \
  --txt build/coverage/coverage.txt --print-summary build/coverage |
  grep -E '^(lines|functions|branches):'
echo "per-file report: build/coverage/coverage.txt"
if ((tests_rc != 0)); then
  echo "coverage.sh: some tests failed (see above)" >&2
fi
exit "$tests_rc"
