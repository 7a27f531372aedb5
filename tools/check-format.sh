#!/usr/bin/env bash
# Checks that every C and C++ file of the project is laid out as .clang-format says: prints the
# difference for each file that is not and exits 1; exits 0 when all are.
# Files: those git knows or would add (so build/ and other ignored folders are left out); outside a git
# checkout, every *.c, *.cpp and *.h below the top folder except build/.
# CLANG_FORMAT names the program (default clang-format-14); other major versions lay code out differently.
set -euo pipefail
cd "$(dirname "$0")/.."

clang_format="${CLANG_FORMAT:-clang-format-14}"
if ! command -v "$clang_format" >/dev/null; then
  echo "check-format: $clang_format not found (Debian: clang-format-14)" >&2
  exit 2
fi
version="$("$clang_format" --version)"
if [[ ! "$version" =~ version\ 14\. ]]; then
  echo "check-format: needs clang-format 14, $clang_format is: $version" >&2
  exit 2
fi

if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  mapfile -d '' files < <(git ls-files -z --cached --others --exclude-standard -- '*.c' '*.cpp' '*.h' |
                            while IFS= read -r -d '' f; do [ -f "$f" ] && printf '%s\0' "$f"; done)
else
  mapfile -d '' files < <(find . -path ./build -prune -o -type f \( -name '*.c' -o -name '*.cpp' -o -name '*.h' \) \
                            -printf '%P\0')
fi

# Format a copy of the files in batches (one clang-format per file is slow), then compare.
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir "$work/a" "$work/b"
printf '%s\0' "${files[@]}" | tar --null -T - -cf - | tar -xf - -C "$work/a"
cp -R "$work/a/." "$work/b"
cp .clang-format "$work/b/"
jobs="$(nproc)"
(cd "$work/b" && printf '%s\0' "${files[@]}" | xargs -0 -r -n 50 -P "$jobs" "$clang_format" -i --style=file)
rm "$work/b/.clang-format"

if ! (cd "$work" && diff -ru a b); then
  changed="$(cd "$work" && { diff -rq a b || true; } | wc -l)"
  echo "check-format: $changed of ${#files[@]} files differ from .clang-format" >&2
  exit 1
fi
echo "check-format: ${#files[@]} files as .clang-format says"
