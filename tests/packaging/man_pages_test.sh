#!/usr/bin/env bash
# Every generated manual page renders without a warning, and its compressed copy (the one
# the packages install) holds the same page.
# Usage: man_pages_test.sh <folder of the generated pages>
set -euo pipefail
status=0
count=0
for page in "$1"/*.[0-9]; do
    count=$((count + 1))
    warnings=$(groff -t -ww -z -man "$page" 2>&1)
    if [ -n "$warnings" ]; then
        echo "$page: $warnings"
        status=1
    fi
    grep -q '^\.SH NAME' "$page" || { echo "$page: no NAME section"; status=1; }
    cmp -s "$page" <(gzip -dc "$page.gz") || { echo "$page.gz: not the page"; status=1; }
done
test "$count" -ge 5 || { echo "only $count pages in $1"; status=1; }
exit "$status"
