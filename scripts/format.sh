#!/usr/bin/env bash
# Checks or applies the tree's formatting (.clang-format) on the C and C++
# sources under version control.
#   scripts/format.sh --check [file...]   lists the files that differ; fails if any
#   scripts/format.sh --fix [file...]     rewrites them in place
# Without files: every tracked source of the project.
set -uo pipefail
cd "$(dirname "$0")/.."

mode=${1:-}
case "$mode" in
  --check|--fix) shift ;;
  *) echo "usage: $0 --check|--fix [file...]" >&2; exit 2 ;;
esac

cf=$(command -v clang-format-14 || command -v clang-format || true)
if [ -z "$cf" ]; then
  echo "clang-format not found (scripts/setup.sh installs it)" >&2
  exit 2
fi

if [ $# -gt 0 ]; then
  files=("$@")
else
  mapfile -t files < <(git ls-files '*.c' '*.cc' '*.cpp' '*.h' '*.hpp')
fi

if [ "$mode" = --fix ]; then
  "$cf" -i --style=file "${files[@]}"
  exit 0
fi

bad=0
for f in "${files[@]}"; do
  if ! "$cf" --style=file --dry-run -Werror "$f" >/dev/null 2>&1; then
    echo "needs formatting: $f"
    bad=$((bad + 1))
  fi
done
if [ "$bad" -gt 0 ]; then
  echo "$bad file(s) need formatting: run scripts/format.sh --fix" >&2
  exit 1
fi
