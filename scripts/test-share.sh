#!/bin/sh
# Prints how much of the code is tests: non-blank lines of everything under
# test/ against all non-blank code lines (C/C++, Python, shell, CMake,
# .ci/run) that git tracks.
cd "$(dirname "$0")/.." || exit 1
files=$(git ls-files | grep -E '\.(c|cc|cpp|cxx|h|hpp|py|sh|cmake)$|(^|/)CMakeLists\.txt$|^\.ci/run$')
all=$(echo "$files" | xargs cat | grep -cvE '^\s*$')
tests=$(echo "$files" | grep -E '(^|/)tests?/' | xargs cat | grep -cvE '^\s*$')
echo "test lines: $tests of $all non-blank code lines = $((100 * tests / all))%"
