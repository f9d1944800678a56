#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The Debian package passes lintian without an error or a warning, its
# binary has a distribution's hardening, and the source tarball holds the
# sources alone and builds and runs on its own with the README's first
# command.
#   package.sh BUILD_DIR EXAMPLE [BUILD_TYPE]
set -euo pipefail
source "$(dirname "$0")/needs.sh"
needs lintian cpack dpkg-deb hardening-check
build=$1 example=$2 build_type=${3:-Release}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$build" && cpack -G DEB -B "$work/deb" >/dev/null)
lintian --fail-on error,warning "$work"/deb/tokcollect_*.deb

# The linker marks a binary as built for control-flow protection only when
# every object in it is, the C library's start files among them; where
# those lack the mark, as Debian 12's do, it cannot be had.
dpkg-deb -x "$work"/deb/tokcollect_*.deb "$work/root"
# A debug build is not fortified, which needs optimisation.
start_files=$(${CXX:-c++} -print-file-name=Scrt1.o)
skip=()
readelf -n "$start_files" | grep -q 'x86 feature: IBT, SHSTK' || skip+=(--nocfprotection)
[ "$build_type" != Debug ] || skip+=(--nofortify)
hardening-check "${skip[@]}" "$work/root/usr/bin/tokcollect"

(cd "$build" && cpack --config CPackSourceConfig.cmake -B "$work/source" >/dev/null)
tarball=$(echo "$work"/source/tokcollect-*.tar.gz)
name=$(basename "$tarball" .tar.gz)
tar -tzf "$tarball" >"$work/contents"
for file in LICENSE README.md CMakeLists.txt src/driver.cpp tests/model.cpp docs/tokcollect.1 \
    packaging/copyright scripts/test; do
    grep -qx "$name/$file" "$work/contents" || { echo "tarball lacks $file"; exit 1; }
done
if grep -E "^$name/(build|\.git/)" "$work/contents"; then
    echo "tarball holds build folders or .git"
    exit 1
fi

mkdir "$work/unpacked"
tar -xzf "$tarball" -C "$work/unpacked"
cd "$work/unpacked/$name"
cmake -S . -B build -DBUILD_TESTING=OFF >/dev/null && cmake --build build >/dev/null &&
    build/tokcollect <examples/inventory.txt >"$work/listing" 2>/dev/null
"$build/tokcollect" <"$example" 2>/dev/null | cmp -s - "$work/listing" ||
    { echo "the tarball's build lists differently"; exit 1; }
echo "lintian is silent; the tarball holds the sources and builds on its own"
