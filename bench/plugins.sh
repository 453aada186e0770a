# SPDX-License-Identifier: GPL-2.0-or-later
# Sourced by bench/run.sh and by scripts/robustness.sh (load): the two
# plug-ins compared there, built in a tree of their own.

# Builds the benchmark tree bench_build from the checkout root and puts our
# plug-ins and the floor plug-ins each in a plug-in folder of their own, as
# WIRESHARK_PLUGIN_DIR wants them: stage/ours and stage/floor.
stage_bench_plugins() {
    local root=$1 bench_build=$2 stage=$3
    cmake -S "$root" -B "$bench_build" -DOVK_BUILD_BENCH=ON -DOVK_BUILD_TESTS=OFF \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$bench_build" --parallel "${BENCH_JOBS:-$(nproc)}" >/dev/null
    local series
    series=$(cd "$bench_build/plugins" && ls -d [0-9]*.[0-9]* | head -n1)
    mkdir -p "$stage/ours/$series/epan" "$stage/floor/$series/epan"
    cp "$bench_build/plugins/$series/epan/"{ovk5,ovk5seq}.so "$stage/ours/$series/epan/"
    cp "$bench_build/plugins/$series/epan/ovk5floor.so" "$stage/floor/$series/epan/"
}
