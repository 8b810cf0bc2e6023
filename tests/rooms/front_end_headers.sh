#!/bin/bash
# Compiles two probes as each front end's sources are compiled, listing the headers they reach
# (-M; -MG lists a header not found by the name it was asked for instead of failing): the plain
# values, text and the session's headers (where it links the session) are found with all that they
# include, and no other header of the rooms beneath the session is.
# Usage: front_end_headers.sh COMPILER FOLDER "HIDDEN..." FLAGS_FILE...
set -u
compiler=$1
folder=$2
read -r -a hidden <<<"$3"
shift 3

# The headers that `probe` asked for and the compiler did not find, one a line.
not_found() {
    local flags=$1 probe=$2 listed
    if ! listed=$("$compiler" @"$flags" -std=c++20 -fPIC -M -MG -x c++ "$probe"); then
        echo "$probe: the compiler failed" >&2
        return 1
    fi
    tr -s ' \\\n' '\n' <<<"$listed" | grep -v -e '^/' -e ':$' -e '^$'
    return 0
}

failures=0
for flags in "$@"; do
    front_end=$(basename "$flags" .flags)
    missing=$(not_found "$flags" "$folder/$front_end.cpp") || failures=$((failures + 1))
    for header in $missing; do
        echo "$front_end: $header is not found, yet a header it may include asks for it" >&2
        failures=$((failures + 1))
    done
    missing=$(not_found "$flags" "$folder/hidden.cpp") || failures=$((failures + 1))
    for header in "${hidden[@]}"; do
        if ! grep -qxF "$header" <<<"$missing"; then
            echo "$front_end: $header is found, though it moves the arm" >&2
            failures=$((failures + 1))
        fi
    done
done
echo "${#hidden[@]} headers hidden from $# front ends; $failures failures"
[ "$failures" -eq 0 ]
