// The page's entry into the core (web.cpp): what the browser page calls, compiled to WebAssembly;
// also linked into the tests and the fuzz target, which drive it as the page does.
#pragma once

#include <cstdint>

extern "C" {
/// The geometry, for the page's maps: an image's length and a track's sectors (0 past the disk).
int32_t web_imagesize();
int32_t web_sectors(int32_t track);

/// Where the page puts the first bytes of the file (an image's worth at most).
uint8_t *web_input();

/// Where the page puts the file's name, UTF-8 and NUL-terminated: 1023 bytes at most.
char *web_name();

/// Scatters the disk the page put in, `length` being the whole file's: 0, or -1 with the tool's
/// own message in web_message(). Each disk starts the generator afresh, as a run of the tool does,
/// so the page writes the tool's bytes.
int web_scatter(uint32_t length);

/// Checks the scatter web_scatter() just made against the disk as chosen: fills web_same() and
/// web_verdict() and says what it found, 0 where everything reads the same.
int32_t web_check();

/// The refusal's text, as the tool prints it.
const char *web_message();

/// The scattered image, to download.
const uint8_t *web_output();

/// How many entries the directory lists, and each one's type byte, 16-byte PETSCII name, size in
/// blocks as listed, and, for a file, whether it reads the same after the scatter.
int32_t web_count();
int32_t web_type(int32_t f);
const uint8_t *web_filename(int32_t f);
int32_t web_blocks(int32_t f);
int32_t web_same(int32_t f);

/// How a listing shows a type byte, in 5 characters (" PRG ", "*SEQ<": never closed, locked),
/// and whether the tool reads such an entry as a file; other entries may point anywhere, into
/// files too, and are not judged.
const char *web_typename(int32_t type);
int32_t web_isfile(int32_t type);

/// The listing's head and foot, from the disk as chosen: its 16-byte name, the 5 bytes from its
/// ID, and the blocks free as the drive counts them (the BAM's counts of every track but 18).
const uint8_t *web_diskname();
const uint8_t *web_diskid();
int32_t web_blocksfree();

/// Per sector in file order, before (0) or after (1) the scatter: 1 + the entry whose chain holds
/// it or 0, and its place along that chain.
const int16_t *web_owners(int32_t after);
const int16_t *web_steps(int32_t after);

/// Per sector in file order: the sector of the disk as chosen whose content it now holds, or -1.
const int16_t *web_origin();

/// Per sector in file order, the sectorkind; and each kind's name, for the page's styles (null
/// past the last).
const uint8_t *web_kinds();
const char *web_kindname(int32_t k);

/// The scatter checked as a whole: the first difference (0 none; then track 18, a sector that
/// stays, a chain's data, a chain's end, a chain's link), the chains compared, the chain's start,
/// the block and its place in the output; then the sectors whose content changed place, the
/// sectors in use off track 18, and how many of those may move. web_verdictfields() names the
/// fields in their order, separated by commas.
const int32_t *web_verdict();
const char *web_verdictfields();
}
