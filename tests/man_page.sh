#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The man page renders without a single warning, and man(1) can show it.
#   man_page.sh PAGE
set -euo pipefail
source "$(dirname "$0")/needs.sh"
needs groff man
page=$1
warnings=$(groff -man -Tutf8 -ww -z "$page" 2>&1)
if [ -n "$warnings" ]; then
    echo "groff warns:"
    echo "$warnings"
    exit 1
fi
rendered=$(MANWIDTH=80 man -l "$page" 2>&1)
for section in NAME SYNOPSIS DESCRIPTION "EXIT STATUS" DIAGNOSTICS EXAMPLES NOTES; do
    grep -q "^$section" <<<"$rendered" || { echo "missing section $section"; exit 1; }
done
echo "man page renders cleanly"
