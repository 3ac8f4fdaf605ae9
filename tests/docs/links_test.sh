#!/usr/bin/env bash
# Every relative link and image in the README and in docs/ points at a file
# that exists, so that a page moved or renamed cannot leave a dead link.
#
#   links_test.sh REPOSITORY
set -uo pipefail
cd "$1" || exit 1
links=0 dead=0
for page in README.md docs/*.md; do
    while IFS= read -r target; do
        target=${target%%#*}
        case $target in "" | *://* | mailto:*) continue ;; esac
        links=$((links + 1))
        [ -e "$(dirname "$page")/$target" ] || { echo "$page: no such file: $target"; dead=$((dead + 1)); }
    done < <(grep -oE '\]\([^)]*\)' "$page" | sed -E 's/^\]\((.*)\)$/\1/')
done
echo "$links relative links, $dead to no file"
[ "$links" -gt 0 ] && [ "$dead" -eq 0 ]
