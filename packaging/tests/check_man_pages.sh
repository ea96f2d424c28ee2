#!/bin/bash
# Checks manual pages with groff: each page must format without a warning or an error.
#
#   check_man_pages.sh <page>...
#
# Exit status: 0 when every page is clean, 1 when one is not (its name and groff's output are
# printed), 2 without a page, 77 (a skip for CTest) when groff is missing.
set -u

if [ "$#" -eq 0 ]; then
    echo "usage: $0 <man page>..." >&2
    exit 2
fi
if ! command -v groff >/dev/null 2>&1; then
    echo "groff is not installed, so the manual pages cannot be checked (Debian: groff)"
    exit 77
fi

status=0
for page in "$@"; do
    if [ ! -r "$page" ]; then
        echo "$page: cannot be read"
        status=1
        continue
    fi
    output=$(LC_ALL=C.UTF-8 groff -man -ww -z "$page" 2>&1)
    result=$?
    if [ "$result" -ne 0 ] || [ -n "$output" ]; then
        echo "$page: groff exited with $result and wrote:"
        printf '%s\n' "$output"
        status=1
    fi
done
exit "$status"
