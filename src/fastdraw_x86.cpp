// The AVX2 and AVX-512 block loops (their fills in fastdraw_x86_fills.h) and the processor
// question; built only for x86.
#include <cpuid.h>

#include "fastdraw_x86_fills.h"

namespace fastdraw {

namespace {

struct features {
    bool avx2, avx512;
};

__attribute__((target("avx2"))) void blockswide() { findhits(fillwide); }

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"  // GCC 12's own AVX-512 headers trip these
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
__attribute__((target(FASTDRAW_AVX512))) void blockswidest() { findhits(fillwidest); }
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

// The processor is asked only here, and only once a disk has few enough links for the blocks to
// run: the compiler's own feature check would ask at every start, and in a virtual machine each
// cpuid traps to the hypervisor. A feature counts only when the system also saves the registers
// it needs (xgetbv): YMM state for AVX2, and the opmask and ZMM state too for AVX-512.
features askprocessor() {
    unsigned a, b, c, d;
    if (__get_cpuid(0, &a, &b, &c, &d) == 0 || a < 7)
        return {false, false};
    __get_cpuid(1, &a, &b, &c, &d);
    constexpr unsigned osxsave = 1u << 27, avx = 1u << 28;
    if ((c & (osxsave | avx)) != (osxsave | avx))
        return {false, false};
    unsigned lo, hi;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    constexpr unsigned ymmstate = 0x6, zmmstate = 0xe0;
    __cpuid_count(7, 0, a, b, c, d);
    constexpr unsigned avx2 = 1u << 5, avx512f = 1u << 16, avx512bw = 1u << 30;
    bool wide = (lo & ymmstate) == ymmstate && (b & avx2) != 0;
    bool widest = (lo & (ymmstate | zmmstate)) == (ymmstate | zmmstate) &&
                  (b & (avx512f | avx512bw)) == (avx512f | avx512bw);
    return {wide, widest};
}

// Asked once; a function's static would bring the C++ runtime's guard along.
features processor;
bool asked = false;

const features &has() {
    if (!asked) {
        processor = askprocessor();
        asked = true;
    }
    return processor;
}

}  // namespace

blocksfn vectorblocks(drawway way) {
    if (way == avx512blocks && has().avx512)
        return blockswidest;
    if (way == avx2blocks && has().avx2)
        return blockswide;
    return nullptr;
}

}  // namespace fastdraw
