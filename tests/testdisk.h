// Disk builders, chain walking and process helpers shared by the tests and the benchmark.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "d64.h"
#include "fastdraw.h"

using disk = std::vector<uint8_t>;

struct place {
    int32_t track;
    int32_t sector;
    bool operator<(const place &o) const { return track != o.track ? track < o.track : sector < o.sector; }
    bool operator==(const place &o) const { return track == o.track && sector == o.sector; }
};

/// Offset of a sector's first byte in a whole image.
size_t sectoroffset(place p);

/// Writes a link: `at` points at `to`.
void pointat(disk &d, place at, place to);

/// True when the BAM at 18/0 marks the sector free.
bool isfree(const disk &d, place p);

/// Marks a sector free or in use in the BAM as the DOS does, keeping the track's free count.
void setfree(disk &d, place p, bool free);

/// Bit 7 of a directory entry's type: the file was closed properly.
constexpr uint8_t closed = 0x80;

/// Writes a directory entry into slot `slot` of a directory sector (18/1 unless named): its type
/// and first sector; returns it for further fields.
uint8_t *direntry(disk &d, size_t slot, uint8_t type, place start, int32_t dirsector = d64::firstdirsector);

/// A disk of zeros (the BAM calls every sector in use) with one chain, 1/0 -> 1/1 -> 1/2 -> 1/3,
/// and no directory entry.
disk fourchaindisk();

/// Every sector outside the directory track, in file order.
std::vector<place> chainablesectors();

/// One chain through every sector outside track 18 in file order; bytes 2-3 of each name its own place.
disk chaineddisk();

/// Well-formed chains over random sectors outside track 18, random data everywhere else, and
/// sectors whose links fail the pick tests; `firsts` receives the start of each chain.
disk randomchains(uint32_t seed, int32_t nchains, std::vector<place> &firsts);

/// A disk whose only pickable link is 1/0 -> 35/16, with filler that is never picked, an empty
/// directory and a BAM that marks every sector in use.
disk onelinkdisk();

/// An empty disk, BAM all in use, with `links` chains of two sectors at scattered places: exactly
/// that many pickable links.
disk sparsedisk(int32_t links);

/// One of each thing a reader may start from: "MAIN", a PRG from 1/0 through 1/9; a GEOS VLIR
/// file (index block 3/0, records 3/1 -> 3/2 -> 3/3, 5/0 -> 5/1 and, in the last slot, 6/0 -> 6/1,
/// info block 3/10); a REL file 7/0 -> 7/1 -> 7/2 with its side sector at 8/0; "AB" in the link
/// bytes of 30/0. Bytes 200 and 201 of a sector name its place.
disk storydisk();

/// The story disk with its directory sector moved off track 18 to 19/5, which 18/1 now only links
/// to, as directory tricks leave it: the drive still finds every file there.
disk offtrackdirectorydisk();

/// The places a chain visits from `first` until a sector with byte 0 of 0 (at most 683 steps).
std::vector<place> followchain(const disk &d, place first);

/// Copies a disk into the tool's image, scrambles it from the start of the sequence, and copies it
/// back; drawn `way` where given (this processor must run it), else as the tool chooses.
disk scrambled(const disk &d);
disk scrambledby(const disk &d, const drawway *way);

/// A fresh scratch folder, removed with its contents when the object goes.
struct tempdir {
    std::string path;
    tempdir();
    ~tempdir();
    tempdir(const tempdir &) = delete;
    tempdir &operator=(const tempdir &) = delete;
    std::string file(const std::string &name) const { return path + "/" + name; }
};

void writefile(const std::string &path, const disk &bytes);
disk readfile(const std::string &path);

struct runresult {
    int status;
    std::string out;
    std::string err;
};

/// Runs a shell command line, capturing standard output, standard error and the exit status.
runresult run(const std::string &cmdline);

/// Quotes one word for the shell.
std::string shellquote(const std::string &word);

/// True when a program of that name is on the PATH.
bool haveprogram(const std::string &name);
