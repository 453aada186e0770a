#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# The committed sample captures are exactly what scripts/make-samples.sh
# makes with the current generator: it is deterministic, and the samples
# are up to date.
#
# samples_test.sh SOURCE_DIR PATH_TO_OVK5_CAPGEN
set -euo pipefail
source_dir=$1 capgen=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Without the generator named, a usage line rather than a shell error.
usage=$("$source_dir/scripts/make-samples.sh" 2>&1) && { echo "make-samples.sh without arguments succeeded"; exit 1; }
[[ $usage == "usage: "*"OVK5_CAPGEN [FOLDER]"* ]] || { echo "make-samples.sh without arguments: $usage"; exit 1; }

"$source_dir/scripts/make-samples.sh" "$capgen" "$work"
diff <(cd "$source_dir/samples" && ls) <(cd "$work" && ls)
for sample in "$work"/*; do
    cmp "$sample" "$source_dir/samples/$(basename "$sample")"
done
echo "samples: $(ls "$work" | wc -l) captures match"
