# SPDX-License-Identifier: MIT
# Sourced by the shell tests: `needs TOOL...` ends the test with status 77,
# which CTest reports as skipped, naming the first tool that is missing.
needs() {
    local tool path
    for tool in "$@"; do
        path=$(command -v "$tool") && [ -x "$path" ] || {
            echo "skipped: $tool is not installed"
            exit 77
        }
    done
}
