#!/usr/bin/env bash
# Fails when clang-format, with the repository's .clang-format, would change any C++ source.
set -euo pipefail
source=$1
cd "$source"
mapfile -t files < <(find . -path './build*' -prune -o -type f \( -name '*.cpp' -o -name '*.h' \) -print | sort)
[[ ${#files[@]} -gt 0 ]] || { echo "no sources found under $source"; exit 1; }
clang-format --dry-run -Werror "${files[@]}"
echo "${#files[@]} sources formatted as .clang-format says"
