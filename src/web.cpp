// The browser page's way into the core: the page hands over a file's bytes and name, and reads
// back the scattered image and what to show of it. Built for WebAssembly, and natively for the
// tests and the fuzz target; web.h says what each function gives.
#include <cstdio>
#include <cstring>

#include "diskmap.h"
#include "directory.h"
#include "image.h"
#include "pickable.h"
#include "readsame.h"
#include "scrambler.h"
#include "web.h"

namespace {

uint8_t input[imagesize];  // the disk as chosen, kept to check the scatter against
char name[1024];
char message[sizeof name + 64];
listedfile files[maxentries];
int32_t count;
int16_t owners[2][numsectors], steps[2][numsectors];  // before and after the scatter
int16_t origin[numsectors];
uint8_t kinds[numsectors];
uint8_t same[maxentries];
char typelabel[6];

// What the page says of the scatter as a whole (web_verdict), its fields named in this order by
// web_verdictfields().
enum verdictfield { found, chains, track, sector, block, attrack, atsector, moved, inuse, maymove, fields };
constexpr const char *verdictnames = "found,chains,track,sector,block,attrack,atsector,moved,inuse,movable";
int32_t verdict[fields];
whatmoves moving;  // what the scatter may change, found before it ran

constexpr const char *kindnames[] = {"free", "dir", "moves", "stays"};
static_assert(sizeof kindnames / sizeof kindnames[0] == staysput + 1, "a name for every sector kind");

}  // namespace

extern "C" {

int32_t web_imagesize() { return imagesize; }
int32_t web_sectors(int32_t track) { return track >= 1 && track <= numtracks ? tracksecs[static_cast<size_t>(track)] : 0; }

uint8_t *web_input() { return input; }

char *web_name() { return name; }

int web_scatter(uint32_t length) {
    if (length != static_cast<uint32_t>(imagesize)) {
        snprintf(message, sizeof message, lengthmessage, name, imagesize);
        return -1;
    }
    memcpy(image, input, sizeof image);
    count = listfiles(files);
    mapfiles(files, count, owners[0], steps[0]);
    findpickable();
    findmoving(moving);
    mapkinds(moving.targets, kinds);
    resetrandom();
    scramblepicked();
    mapfiles(files, count, owners[1], steps[1]);
    return 0;
}

int32_t web_check() {
    for (int32_t f = 0; f < count; ++f)
        same[f] = entryreadssame(input, moving, files[f].entry);
    samecheck c = checkscatter(input, moving, origin);
    verdict[found] = static_cast<int32_t>(c.found);
    verdict[chains] = c.chains, verdict[track] = c.track, verdict[sector] = c.sector, verdict[block] = c.block;
    verdict[attrack] = c.attrack, verdict[atsector] = c.atsector;
    verdict[moved] = verdict[inuse] = verdict[maymove] = 0;
    foreachsector([](int32_t t, int32_t s) {
        size_t i = sectorindex(t, s);
        const uint8_t *was = input + i * sectorsize;
        // Content no chain traces (never so after a sound scatter) counts as moved where it differs.
        bool changed = origin[i] >= 0 ? static_cast<size_t>(origin[i]) != i
                                      : memcmp(was + 2, image + i * sectorsize + 2, sectorsize - 2) != 0;
        verdict[moved] += changed;
        verdict[inuse] += kinds[i] == movable || kinds[i] == staysput;
        verdict[maymove] += kinds[i] == movable;
    });
    return verdict[found];
}

const char *web_message() { return message; }

const uint8_t *web_output() { return image; }

int32_t web_count() { return count; }
int32_t web_type(int32_t f) { return files[f].type; }
const uint8_t *web_filename(int32_t f) { return files[f].name; }
int32_t web_blocks(int32_t f) { return files[f].blocks; }
int32_t web_same(int32_t f) { return same[f]; }

const char *web_typename(int32_t type) {
    // As the drive lists it: a splat for a file never closed, a lock mark after a locked one.
    snprintf(typelabel, sizeof typelabel, "%c%s%c", (type & d64::closedflag) != 0 ? ' ' : '*',
             d64::typenames[type & d64::typemask], (type & d64::lockedflag) != 0 ? '<' : ' ');
    return typelabel;
}
int32_t web_isfile(int32_t type) { return d64::isfiletype(static_cast<uint8_t>(type)); }

const uint8_t *web_diskname() { return input + trackoffs[dirtrack] + d64::diskname; }
const uint8_t *web_diskid() { return input + trackoffs[dirtrack] + d64::diskid; }
int32_t web_blocksfree() {
    int32_t n = 0;
    for (int32_t t = 1; t <= numtracks; ++t)
        n += t == dirtrack ? 0 : input[static_cast<size_t>(trackoffs[dirtrack]) + d64::freecountfor(t)];
    return n;
}

const int16_t *web_owners(int32_t after) { return owners[after != 0]; }
const int16_t *web_steps(int32_t after) { return steps[after != 0]; }

const int16_t *web_origin() { return origin; }

const uint8_t *web_kinds() { return kinds; }
const char *web_kindname(int32_t k) {
    return k >= 0 && k < static_cast<int32_t>(sizeof kindnames / sizeof kindnames[0]) ? kindnames[k] : nullptr;
}

const int32_t *web_verdict() { return verdict; }
const char *web_verdictfields() { return verdictnames; }
}
