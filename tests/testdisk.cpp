#include "testdisk.h"

#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

#include "image.h"
#include "readsame.h"
#include "scrambler.h"

size_t sectoroffset(place p) {
    return static_cast<size_t>(trackoffs[static_cast<size_t>(p.track)] + p.sector * sectorsize);
}

std::vector<place> chainablesectors() {
    std::vector<place> all;
    for (int32_t t = 1; t <= numtracks; ++t)
        for (int32_t s = 0; t != dirtrack && s < tracksecs[static_cast<size_t>(t)]; ++s)
            all.push_back({t, s});
    return all;
}

static void setlink(disk &d, place at, uint8_t track, uint8_t sector) {
    d[sectoroffset(at)] = track;
    d[sectoroffset(at) + 1] = sector;
}

void pointat(disk &d, place at, place to) {
    setlink(d, at, static_cast<uint8_t>(to.track), static_cast<uint8_t>(to.sector));
}

uint8_t *direntry(disk &d, size_t slot, uint8_t type, place start, int32_t dirsector) {
    uint8_t *e = &d[sectoroffset({dirtrack, dirsector}) + d64::entrysize * slot];
    e[d64::filetype] = type;
    e[d64::firsttrack] = static_cast<uint8_t>(start.track);
    e[d64::firstsector] = static_cast<uint8_t>(start.sector);
    return e;
}

disk fourchaindisk() {
    disk d(imagesize, 0);
    pointat(d, {1, 0}, {1, 1});
    pointat(d, {1, 1}, {1, 2});
    pointat(d, {1, 2}, {1, 3});
    pointat(d, {1, 3}, {0, 100});
    return d;
}

bool isfree(const disk &d, place p) {
    d64::bamspot at = d64::bamfor(p.track, p.sector);
    return (d[sectoroffset({dirtrack, d64::bamsector}) + at.byte] & at.bit) != 0;
}

void setfree(disk &d, place p, bool free) {
    if (isfree(d, p) == free)
        return;
    d64::bamspot at = d64::bamfor(p.track, p.sector);
    d[sectoroffset({dirtrack, d64::bamsector}) + at.byte] ^= at.bit;
    uint8_t &count = d[sectoroffset({dirtrack, d64::bamsector}) + d64::freecountfor(p.track)];
    count = static_cast<uint8_t>(free ? count + 1 : count - 1);
}

disk chaineddisk() {
    disk d(imagesize, 0);
    std::vector<place> all = chainablesectors();
    for (size_t i = 0; i < all.size(); ++i) {
        if (i + 1 < all.size())
            setlink(d, all[i], static_cast<uint8_t>(all[i + 1].track), static_cast<uint8_t>(all[i + 1].sector));
        else
            setlink(d, all[i], 0, 255);
        d[sectoroffset(all[i]) + 2] = static_cast<uint8_t>(all[i].track);
        d[sectoroffset(all[i]) + 3] = static_cast<uint8_t>(all[i].sector);
    }
    return d;
}

// Link bytes that must never be picked: end of chain, into the directory, past the last track,
// or one sector past the end of the named track.
static void setunpickable(disk &d, place at, std::mt19937 &rng) {
    auto t = static_cast<uint8_t>(1 + rng() % numtracks);
    switch (rng() % 4) {
    case 0: setlink(d, at, 0, static_cast<uint8_t>(rng())); break;
    case 1: setlink(d, at, dirtrack, static_cast<uint8_t>(rng() % 19)); break;
    case 2: setlink(d, at, static_cast<uint8_t>(36 + rng() % 220), static_cast<uint8_t>(rng() % 17)); break;
    default: setlink(d, at, t, static_cast<uint8_t>(tracksecs[t] + static_cast<int32_t>(rng() % 3))); break;
    }
}

disk randomchains(uint32_t seed, int32_t nchains, std::vector<place> &firsts) {
    std::mt19937 rng(seed);
    disk d(imagesize);
    std::generate(d.begin(), d.end(), [&] { return static_cast<uint8_t>(rng()); });
    std::vector<place> all = chainablesectors();
    std::shuffle(all.begin(), all.end(), rng);
    size_t used = all.size() / 2 + rng() % (all.size() / 2);
    for (size_t i = used; i < all.size(); ++i)
        setunpickable(d, all[i], rng);
    // Cut the used sectors into chains at random points.
    std::vector<size_t> cuts{0, used};
    while (cuts.size() < static_cast<size_t>(nchains) + 1) {
        size_t c = 1 + rng() % (used - 1);
        if (std::find(cuts.begin(), cuts.end(), c) == cuts.end())
            cuts.push_back(c);
    }
    std::sort(cuts.begin(), cuts.end());
    firsts.clear();
    for (size_t c = 0; c + 1 < cuts.size(); ++c) {
        firsts.push_back(all[cuts[c]]);
        for (size_t i = cuts[c]; i + 1 < cuts[c + 1]; ++i)
            setlink(d, all[i], static_cast<uint8_t>(all[i + 1].track), static_cast<uint8_t>(all[i + 1].sector));
        setlink(d, all[cuts[c + 1] - 1], 0, static_cast<uint8_t>(rng()));
    }
    return d;
}

disk onelinkdisk() {
    std::mt19937 rng(7);
    disk d(imagesize);
    std::generate(d.begin(), d.end(), [&] { return static_cast<uint8_t>(rng()); });
    for (place p : chainablesectors())
        setunpickable(d, p, rng);
    // An empty directory and a BAM with every sector in use, and a target that ends its chain.
    std::fill(d.begin() + static_cast<long>(sectoroffset({dirtrack, 0})),
              d.begin() + static_cast<long>(sectoroffset({dirtrack + 1, 0})), 0);
    setlink(d, {1, 0}, 35, 16);
    setlink(d, {35, 16}, 0, 255);
    return d;
}

disk sparsedisk(int32_t links) {
    std::mt19937 rng(static_cast<uint32_t>(links));
    disk d(imagesize, 0);
    std::vector<place> all = chainablesectors();
    std::shuffle(all.begin(), all.end(), rng);
    for (size_t i = 0; i < static_cast<size_t>(links); ++i) {
        place holder = all[2 * i], target = all[2 * i + 1];
        setlink(d, holder, static_cast<uint8_t>(target.track), static_cast<uint8_t>(target.sector));
        setlink(d, target, 0, 255);
        d[sectoroffset(holder) + 2] = d[sectoroffset(target) + 2] = static_cast<uint8_t>(i + 1);
    }
    return d;
}

std::vector<place> followchain(const disk &d, place first) {
    std::vector<place> chain{first};
    for (;;) {
        size_t at = sectoroffset(chain.back());
        if (d[at] == 0 || chain.size() > static_cast<size_t>(numsectors))
            return chain;
        chain.push_back({d[at], d[at + 1]});
    }
}

// A disk with one of each thing a reader may start from: "MAIN", a PRG from 1/0 through 1/9; a
// GEOS VLIR file whose index block at 3/0 lists records 3/1 -> 3/2 -> 3/3 and 5/0 -> 5/1 first and
// 6/0 -> 6/1 in its last slot, its info block at 3/10; a REL file 7/0 -> 7/1 -> 7/2 with its side
// sector at 8/0; text in the first two bytes of 30/0, a link to no sector. Every other sector is
// in use and holds a chain of one. Bytes 200 and 201 of each sector name its own place.
disk storydisk() {
    using namespace d64;
    disk d(imagesize, 0);
    for (place p : chainablesectors())
        if (!(p == place{3, 0})) {
            d[sectoroffset(p) + 200] = static_cast<uint8_t>(p.track);
            d[sectoroffset(p) + 201] = static_cast<uint8_t>(p.sector);
        }
    for (int32_t s = 0; s < 9; ++s)
        pointat(d, {1, s}, {1, s + 1});
    d[sectoroffset({1, 9}) + 1] = 202;
    uint8_t *e = direntry(d, 0, closed | prg, {1, 0});
    std::copy_n("MAIN", 4, e + filename);
    e = direntry(d, 1, closed | usr, {3, 0});
    std::copy_n("VLIR", 4, e + filename);
    e[sidetrack] = 3, e[sidesector] = 10, e[geosstructure] = geosvlir, e[geostype] = 6;
    pointat(d, {3, 0}, {0, 0xff});
    uint8_t *index = &d[sectoroffset({3, 0})];
    index[2] = 3, index[3] = 1, index[4] = 5, index[5] = 0;
    pointat(d, {3, 1}, {3, 2});
    pointat(d, {3, 2}, {3, 3});
    pointat(d, {5, 0}, {5, 1});
    index[254] = 6, index[255] = 0;
    pointat(d, {6, 0}, {6, 1});
    d[sectoroffset({30, 0})] = 'A', d[sectoroffset({30, 0}) + 1] = 'B';
    e = direntry(d, 2, closed | rel, {7, 0});
    std::copy_n("RECORDS", 7, e + filename);
    e[sidetrack] = 8, e[sidesector] = 0, e[recordlength] = 10;
    pointat(d, {7, 0}, {7, 1});
    pointat(d, {7, 1}, {7, 2});
    uint8_t *side = &d[sectoroffset({8, 0})];
    side[3] = 10;
    for (int32_t k = 0; k < 3; ++k)
        side[16 + 2 * k] = 7, side[17 + 2 * k] = static_cast<uint8_t>(k);
    return d;
}

disk offtrackdirectorydisk() {
    disk d = storydisk();
    size_t from = sectoroffset({dirtrack, d64::firstdirsector}), to = sectoroffset({19, 5});
    std::copy_n(d.begin() + static_cast<long>(from), sectorsize, d.begin() + static_cast<long>(to));
    std::fill_n(d.begin() + static_cast<long>(from), sectorsize, 0);
    pointat(d, {dirtrack, d64::firstdirsector}, {19, 5});
    return d;
}

disk scrambled(const disk &d) { return scrambledby(d, nullptr); }

disk scrambledby(const disk &d, const drawway *way) {
    std::copy(d.begin(), d.end(), image);
    whatmoves moving;
    findpickable();
    findmoving(moving);
    resetrandom();
    if (way == nullptr)
        scramblepicked();
    else if (!scramblewith(*way))
        throw std::runtime_error("this processor cannot draw that way");
    // Every scatter a test makes is held to the whole promise, whatever else the test looks at.
    samecheck c = checkscatter(d.data(), moving, nullptr);
    if (c.found != differs::nothing)
        throw std::runtime_error("the scatter changed what the chain from " + std::to_string(c.track) + "/" +
                                 std::to_string(c.sector) + " reads, at block " + std::to_string(c.block));
    return disk(image, image + imagesize);
}

tempdir::tempdir() {
    std::string pattern = "/tmp/scatterdisk-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path = pattern;
}

tempdir::~tempdir() {
    std::string cmd = "rm -rf " + shellquote(path);
    if (std::system(cmd.c_str()) != 0)
        fprintf(stderr, "could not remove %s\n", path.c_str());
}

void writefile(const std::string &path, const disk &bytes) {
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!f)
        throw std::runtime_error("cannot write " + path);
}

disk readfile(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    if (!f)
        throw std::runtime_error("cannot read " + path);
    return disk(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

static std::string readtext(const std::string &path) {
    disk bytes = readfile(path);
    return std::string(bytes.begin(), bytes.end());
}

runresult run(const std::string &cmdline) {
    tempdir capture;
    std::string cmd = cmdline + " >" + shellquote(capture.file("out")) + " 2>" + shellquote(capture.file("err"));
    int raw = std::system(cmd.c_str());
    int status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return {status, readtext(capture.file("out")), readtext(capture.file("err"))};
}

std::string shellquote(const std::string &word) {
    std::string q = "'";
    for (char c : word)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

bool haveprogram(const std::string &name) {
    return std::system(("command -v " + shellquote(name) + " >/dev/null 2>&1").c_str()) == 0;
}
