// Link-preserving sector exchanges over the disk's chains, driven by a fixed generator.
#pragma once

#include <cstdint>

constexpr int32_t exchanges = 10000;

/// Next draw of the tool's own generator, 0 to 32767; the same sequence on every platform.
int32_t nextrandom();

/// Puts the generator back where every run starts, so a second run in one process repeats the first.
void resetrandom();

/// Uniform integer from low to high - 1 by rejection over the 15-bit generator; needs high > low.
int32_t random_in_range(int32_t low, int32_t high);

/// True when the link held in a sector's first two bytes may be picked and rewritten.
bool iseligible(const uint8_t *holder);

/// Number of sectors outside the directory track that hold an eligible link.
int32_t counteligible();

/// Performs the exchanges on `image`; leaves an image without eligible links as it is.
void scrambleimage();
