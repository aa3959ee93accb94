// The browser page's way into the core: the page hands over a file's bytes and name, and reads
// back the scattered image and what to show of it. Built for WebAssembly alone; every function
// here is one the page calls.
#include <cstdio>
#include <cstring>

#include "diskmap.h"
#include "image.h"
#include "scrambler.h"

namespace {

uint8_t input[imagesize];  // the disk as chosen, kept to check the scatter against
char name[1024];
char message[sizeof name + 64];
listedfile files[maxentries];
int32_t count;
int16_t owners[2][numsectors], steps[2][numsectors];  // before and after the scatter
uint8_t kinds[numsectors];
uint8_t same[maxentries];

}  // namespace

extern "C" {

/// The geometry, for the page's maps: an image's length and a track's sectors (0 past the disk).
int32_t web_imagesize() { return imagesize; }
int32_t web_sectors(int32_t track) { return track >= 1 && track <= numtracks ? tracksecs[static_cast<size_t>(track)] : 0; }

/// Where the page puts the first bytes of the file (an image's worth at most).
uint8_t *web_input() { return input; }

/// Where the page puts the file's name, UTF-8 and NUL-terminated: 1023 bytes at most.
char *web_name() { return name; }

/// Scatters the disk the page put in, `length` being the whole file's: 0, or -1 with the tool's
/// own message in web_message(). Each disk starts the generator afresh, as a run of the tool does,
/// so the page writes the tool's bytes.
int web_scatter(uint32_t length) {
    if (length != static_cast<uint32_t>(imagesize)) {
        snprintf(message, sizeof message, lengthmessage, name, imagesize);
        return -1;
    }
    memcpy(image, input, sizeof image);
    count = listfiles(files);
    mapfiles(files, count, owners[0], steps[0]);
    mapkinds(kinds);
    resetrandom();
    scrambleimage();
    mapfiles(files, count, owners[1], steps[1]);
    for (int32_t f = 0; f < count; ++f)
        same[f] = readssame(input, files[f].track, files[f].sector);
    return 0;
}

/// The refusal's text, as the tool prints it.
const char *web_message() { return message; }

/// The scattered image, to download.
const uint8_t *web_output() { return image; }

/// How many files the directory lists, and each one's type byte, 16-byte PETSCII name, size in
/// blocks as listed, and whether it reads the same after the scatter.
int32_t web_count() { return count; }
int32_t web_type(int32_t f) { return files[f].type; }
const uint8_t *web_filename(int32_t f) { return files[f].name; }
int32_t web_blocks(int32_t f) { return files[f].blocks; }
int32_t web_same(int32_t f) { return same[f]; }

/// Per sector in file order, before (0) or after (1) the scatter: 1 + the file holding it or 0,
/// and its place along that file's chain.
const int16_t *web_owners(int32_t after) { return owners[after != 0]; }
const int16_t *web_steps(int32_t after) { return steps[after != 0]; }

/// Per sector in file order: free, directory track, may move, or stays put (sectorkind).
const uint8_t *web_kinds() { return kinds; }
}
