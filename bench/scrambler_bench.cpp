// Cost of the exchanges alone: on a disk full of chains, where the plain loop draws little, and on
// disks with few pickable links, where nearly every attempt is skipped, on each way of drawing.
#include <benchmark/benchmark.h>

#include <algorithm>

#include "image.h"
#include "pickable.h"
#include "scrambler.h"
#include "testdisk.h"

static void scatter(benchmark::State &state, const disk &d, drawpath path) {
    setdrawpath(path);
    for (auto _ : state) {
        std::copy(d.begin(), d.end(), image);
        resetrandom();
        scrambleimage();
        benchmark::DoNotOptimize(image[0]);
    }
    setdrawpath(autopath);
}

static void BM_FullDisk(benchmark::State &state) { scatter(state, chaineddisk(), static_cast<drawpath>(state.range(0))); }
static void BM_SparseDisk(benchmark::State &state) {
    scatter(state, sparsedisk(static_cast<int32_t>(state.range(0))), static_cast<drawpath>(state.range(1)));
}
static void BM_FindPickable(benchmark::State &state) {
    disk d = chaineddisk();
    std::copy(d.begin(), d.end(), image);
    for (auto _ : state) {
        findpickable();
        benchmark::DoNotOptimize(countpickable());
    }
}

// Arguments: the path (1 plain, 2 portable blocks, 3 AVX2, 4 AVX-512), after the link count for
// sparse disks.
BENCHMARK(BM_FullDisk)->Arg(plainpath)->Arg(avx512path)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SparseDisk)
    ->ArgsProduct({{1, 2, 5, 16, 64, 200}, {plainpath, portablepath, avx2path, avx512path}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FindPickable)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
