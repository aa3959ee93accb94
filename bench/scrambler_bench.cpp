// Cost of the exchanges alone, on a disk full of chains and on one with a single link,
// where nearly every pick is a rejection.
#include <benchmark/benchmark.h>

#include <algorithm>

#include "image.h"
#include "pickable.h"
#include "scrambler.h"
#include "testdisk.h"

static void scatter(benchmark::State &state, const disk &d) {
    for (auto _ : state) {
        std::copy(d.begin(), d.end(), image);
        resetrandom();
        scrambleimage();
        benchmark::DoNotOptimize(image[0]);
    }
}

static void BM_ScatterFullDisk(benchmark::State &state) { scatter(state, chaineddisk()); }
static void BM_ScatterOneLink(benchmark::State &state) { scatter(state, onelinkdisk()); }
static void BM_FindPickable(benchmark::State &state) {
    disk d = chaineddisk();
    std::copy(d.begin(), d.end(), image);
    for (auto _ : state) {
        findpickable();
        benchmark::DoNotOptimize(countpickable());
    }
}

BENCHMARK(BM_ScatterFullDisk)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ScatterOneLink)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FindPickable)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
