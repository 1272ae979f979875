#!/usr/bin/env bash
# Installs what is missing, builds with warnings as errors and runs the whole test suite, then
# the same tests under AddressSanitizer + UndefinedBehaviorSanitizer and the threading tests
# under ThreadSanitizer, then fuzzes the plan reader for 50 s (libFuzzer, clang).
# QUORVI_TEST_SANITIZERS=0 skips the sanitizer and fuzzing builds (a quick local run).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

stage() {
  echo "== $1"
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1"
  ctest --preset "$1"
}

# The tracked sources keep the repository's format; a diff fails the ci stage before it builds.
echo "== format"
git ls-files -z '*.c' '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror
# The ground floor includes nothing from the folders above it.
if grep -rn '#include "' src/core | grep -v '#include "core/'; then
  echo "src/core includes from above it" >&2
  exit 1
fi

stage ci
if [[ "${QUORVI_TEST_SANITIZERS:-1}" != 0 ]]; then
  stage asan
  stage tsan
  stage fuzz
fi
