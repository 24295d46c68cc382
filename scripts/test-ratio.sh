#!/usr/bin/env bash
# Prints the lines of test code against product code and their ratio.
# Counted: non-blank lines that are not comments (// lines and lines inside /* */ in C++,
# # lines in shell and CMake). bench/ and fuzz/ stay apart.
# Usage: test-ratio.sh [PATH ...]
set -euo pipefail
cd "$(dirname "$0")/.."

count() {
  local files
  files=$(find "$@" -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.hpp' -o -name '*.c' \
    -o -name '*.sh' -o -name 'CMakeLists.txt' -o -name '*.cmake' -o -name '*.py' \) 2>/dev/null | sort)
  [ -n "$files" ] || { echo 0; return; }
  # shellcheck disable=SC2086
  awk '
    FNR == 1 { inblock = 0; cxx = (FILENAME ~ /\.(cpp|h|hpp|c)$/) }
    {
      line = $0
      sub(/^[ \t]+/, "", line); sub(/[ \t\r]+$/, "", line)
      if (cxx) {
        if (inblock) {
          if (index(line, "*/") == 0) next
          line = substr(line, index(line, "*/") + 2); inblock = 0
          sub(/^[ \t]+/, "", line)
        }
        if (line ~ /^\/\*/) {
          if (index(substr(line, 3), "*/") == 0) { inblock = 1; next }
          line = substr(line, index(substr(line, 3), "*/") + 4); sub(/^[ \t]+/, "", line)
        }
        if (line == "" || line ~ /^\/\//) next
      } else {
        if (line == "" || line ~ /^#/) next
      }
      n++
    }
    END { print n + 0 }' $files
}

# With paths given, prints the counted lines of each instead.
if [ $# -gt 0 ]; then
  for p in "$@"; do printf '%6d %s\n' "$(count "$p")" "$p"; done
  exit 0
fi

tests=$(count tests)
product=$(count platform unicode archive ports link methods ui app tools)
bench=$(count bench)
fuzz=$(count fuzz)
echo "tests:   $tests"
echo "product: $product (platform unicode archive ports link methods ui app tools)"
echo "apart:   bench $bench, fuzz $fuzz"
awk -v t="$tests" -v p="$product" 'BEGIN { printf "ratio:   %.2f\n", (p ? t / p : 0) }'
