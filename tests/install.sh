#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# cmake --install into a scratch DESTDIR: the installed binary runs, the
# man page lands in section 1 and the copyright beside the changelog.
#   install.sh BUILD_DIR EXAMPLE
set -euo pipefail
build=$1 example=$2
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
DESTDIR=$root cmake --install "$build" --prefix /usr/local >/dev/null
test -f "$root/usr/local/share/man/man1/tokcollect.1.gz"
test -f "$root/usr/local/share/doc/tokcollect/copyright"
expected=$("$build/tokcollect" <"$example" 2>/dev/null)
actual=$("$root/usr/local/bin/tokcollect" <"$example" 2>/dev/null)
[ "$expected" = "$actual" ] || { echo "installed binary lists differently"; exit 1; }
echo "installed and ran"
