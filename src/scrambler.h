// Link-preserving sector exchanges over the disk's chains, driven by a fixed generator.
#pragma once

#include <cstdint>

constexpr int32_t exchanges = 10000;

/// How the attempts of the pick procedure are drawn: one by one, or in blocks that skip every
/// attempt on a place no pickable link can ever be held at (in plain C++, AVX2 or AVX-512). All
/// give the same output; the automatic choice takes the widest vector blocks this processor runs
/// when there are at most `sparselinks` pickable links, and otherwise draws one by one.
enum drawpath { autopath, plainpath, portablepath, avx2path, avx512path };
constexpr int32_t sparselinks = 256;

/// Chooses the path for the next scrambleimage() calls; tests and benchmarks compare them.
void setdrawpath(drawpath path);

/// Next draw of the tool's own generator, 0 to 32767; the same sequence on every platform.
int32_t nextrandom();

/// Puts the generator back where every run starts, so a second run in one process repeats the first.
void resetrandom();

/// Uniform integer from low to high - 1 by rejection over the 15-bit generator; needs high > low.
int32_t random_in_range(int32_t low, int32_t high);

/// Performs the exchanges on `image`, moving only what findpickable() allows; leaves an image
/// without pickable links as it is.
void scrambleimage();
