#!/usr/bin/env bash
# The README shows the committed screenshot and documents every option of
# the generator's --help.
#
# docs_test.sh SOURCE_DIR PATH_TO_OVK5_CAPGEN
set -euo pipefail
source_dir=$1 capgen=$2
readme=$source_dir/README.md
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

picture=$(grep -o '!\[[^]]*\]([^)]*\.png)' "$readme" | head -1 | sed 's/.*(\(.*\))/\1/')
[[ -n $picture ]] || fail "README shows no PNG picture"
[[ -z $picture || $(od -An -tx1 -N8 "$source_dir/$picture" 2>/dev/null | tr -d ' ') == 89504e470d0a1a0a ]] \
    || fail "$picture is not a PNG file"

for option in $("$capgen" --help | grep -o -- '--[a-z-]*' | sort -u); do
    grep -q -- "$option" "$readme" || fail "README does not mention $option"
done

[[ $failures -eq 0 ]] || exit 1
echo "docs: README shows $picture and documents every generator option"
