// Link-preserving sector exchanges over the disk's chains, driven by a fixed generator.
#pragma once

#include <cstdint>

#include "fastdraw.h"

constexpr int32_t exchanges = 10000;

/// Up to this many pickable links, the tool draws in the widest vector blocks this processor runs;
/// with more, or without vectors (plain C++ blocks cost what drawing one by one does), one by one.
constexpr int32_t sparselinks = 256;

/// Next draw of the tool's own generator, 0 to 32767; the same sequence on every platform.
int32_t nextrandom();

/// Puts the generator back where every run starts, so a second run in one process repeats the first.
void resetrandom();

/// Uniform integer from low to high - 1 by rejection over the 15-bit generator; needs high > low.
int32_t random_in_range(int32_t low, int32_t high);

/// Performs the exchanges on `image`, moving only what findpickable() allows; leaves an image
/// without pickable links as it is.
void scrambleimage();

/// The same exchanges, moving what findpickable() found when it last ran on `image`; for a caller
/// that needs the pick rules' answer itself before the scatter.
void scramblepicked();

/// The same drawn `way`, whichever the count of links would choose (every way gives the same
/// bytes); false, changing nothing, where this processor cannot draw that way.
bool scramblewith(drawway way);
