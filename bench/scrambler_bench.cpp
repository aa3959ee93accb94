// Cost of the exchanges alone: on a disk full of chains, where the plain loop draws little, and on
// disks with few pickable links, where nearly every attempt is skipped, on each way of drawing. And
// the cost of checking a scatter, which the page runs after each one.
#include <benchmark/benchmark.h>

#include <algorithm>

#include "image.h"
#include "pickable.h"
#include "readsame.h"
#include "scrambler.h"
#include "testdisk.h"

static void scatter(benchmark::State &state, const disk &d, drawway way) {
    if (!canrun(way)) {
        state.SkipWithError("this processor cannot draw that way");
        return;
    }
    for (auto _ : state) {
        std::copy(d.begin(), d.end(), image);
        resetrandom();
        findpickable();
        scramblewith(way);
        benchmark::DoNotOptimize(image[0]);
    }
}

static void BM_FullDisk(benchmark::State &state) { scatter(state, chaineddisk(), static_cast<drawway>(state.range(0))); }
static void BM_SparseDisk(benchmark::State &state) {
    scatter(state, sparsedisk(static_cast<int32_t>(state.range(0))), static_cast<drawway>(state.range(1)));
}
static void BM_FindPickable(benchmark::State &state) {
    disk d = chaineddisk();
    std::copy(d.begin(), d.end(), image);
    for (auto _ : state) {
        findpickable();
        benchmark::DoNotOptimize(countpickable());
    }
}

// The check after a scatter of: 0, one chain through the disk (all but its first sector move); 1, the
// same chain as a REL file, where nothing moves and each of 664 sectors starts a chain to the end,
// the most walking a disk can ask; 2, a disk of one of each kind of file.
static void BM_CheckScatter(benchmark::State &state) {
    disk d = state.range(0) == 2 ? storydisk() : chaineddisk();
    if (state.range(0) == 1)
        direntry(d, 0, closed | d64::rel, {1, 0});
    whatmoves moving;
    std::copy(d.begin(), d.end(), image);
    findpickable();
    findmoving(moving);
    scrambled(d);
    for (auto _ : state)
        benchmark::DoNotOptimize(checkscatter(d.data(), moving, nullptr).chains);
}

// Arguments: the way of drawing (0 one by one, 1 AVX2, 2 AVX-512), after the
// link count for sparse disks.
BENCHMARK(BM_FullDisk)->Arg(onebyone)->Arg(avx512blocks)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SparseDisk)
    ->ArgsProduct({{1, 2, 5, 16, 64, 200}, {onebyone, avx2blocks, avx512blocks}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FindPickable)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CheckScatter)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
