#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# The project is GPL-2.0-or-later: LICENSE holds the GPL version 2, the
# README says so, and every source file starts with the SPDX line.
#
# licence_test.sh SOURCE_DIR
set -euo pipefail
cd "$1"
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

[[ $(sed -n 's/^[[:space:]]*//;2p' LICENSE 2>/dev/null) == "Version 2, June 1991" ]] || fail "LICENSE is not the GPL version 2"
grep -q 'GPL-2.0-or-later' README.md || fail "README names no licence"

# Tracked files in a clone, every file in a copy without .git.
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    files=$(git ls-files --cached --others --exclude-standard)
else
    files=$(find . -path ./build -prune -o -path ./dist -prune -o -type f -print | sed 's|^\./||')
fi
checked=0
while IFS= read -r file; do
    [[ -f $file ]] || continue
    case $file in
        *.cpp | *.h | *.h.in | *.rc.in | *.sh | *.cmake | *CMakeLists.txt | *.lua | *.def) ;;
        *) [[ $(head -c 2 "$file") == '#!' ]] || continue ;;
    esac
    checked=$((checked + 1))
    head -n 2 "$file" | grep -q 'SPDX-License-Identifier: GPL-2.0-or-later' \
        || fail "$file does not start with the SPDX line"
done <<<"$files"

[[ $failures -eq 0 ]] || exit 1
echo "licence: LICENSE, README and $checked source files"
