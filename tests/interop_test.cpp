// Disks written and read back by independent D64 tools: what they store must survive a scatter.
#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "image.h"
#include "testdisk.h"

namespace {

// First sectors of the files listed in the directory chain that starts at 18/1.
std::vector<place> filestarts(const disk &d) {
    std::vector<place> starts;
    for (place p : followchain(d, {dirtrack, 1})) {
        size_t at = sectoroffset(p);
        for (size_t entry = 0; entry < d64::entriespersector; ++entry) {
            size_t e = at + entry * d64::entrysize;
            if (d[e + d64::filetype] != 0)
                starts.push_back({d[e + d64::firsttrack], d[e + d64::firstsector]});
        }
    }
    return starts;
}

// Writes files of the given sizes and random content into `dir` and onto dir/disk.d64 with cc1541.
bool makecc1541disk(const tempdir &dir, const std::vector<size_t> &sizes) {
    std::mt19937 rng(1541);
    std::string cmd = "cd " + shellquote(dir.path) + " && cc1541 -q -n SCATTER -i 01";
    for (size_t size : sizes) {
        disk content(size);
        for (auto &b : content)
            b = static_cast<uint8_t>(rng());
        std::string name = "f" + std::to_string(size);
        writefile(dir.file(name + ".bin"), content);
        cmd += " -f " + name + " -w " + name + ".bin";
    }
    return run(cmd + " disk.d64").status == 0;
}

// cc1541 rewrites the image it validates, so it gets a copy.
bool cc1541accepts(const tempdir &dir, const disk &d) {
    writefile(dir.file("check.d64"), d);
    return run("cc1541 -q -V " + shellquote(dir.file("check.d64"))).status == 0;
}

runresult scatterfile(const tempdir &dir, const std::string &in, const std::string &out) {
    return run(shellquote(SCATTERDISK_BIN) + " -i " + shellquote(dir.file(in)) + " -o " + shellquote(dir.file(out)));
}

TEST(WithCc1541AndCbmconvert, FilesExtractUnchangedAfterScatter) {
    if (!haveprogram("cc1541") || !haveprogram("cbmconvert"))
        GTEST_SKIP() << "cc1541 or cbmconvert is not installed; the interop test did not run";
    tempdir dir;
    const std::vector<size_t> sizes = {1, 254, 255, 508, 12000, 27431, 40000, 52222};
    ASSERT_TRUE(makecc1541disk(dir, sizes));
    runresult scatter = scatterfile(dir, "disk.d64", "out.d64");
    ASSERT_EQ(scatter.status, 0) << scatter.err;
    disk before = readfile(dir.file("disk.d64")), after = readfile(dir.file("out.d64"));
    EXPECT_TRUE(cc1541accepts(dir, after));

    std::vector<place> starts = filestarts(after);
    ASSERT_EQ(starts, filestarts(before));
    ASSERT_EQ(starts.size(), sizes.size());
    size_t moved = 0;
    for (place first : starts) {
        std::vector<place> was = followchain(before, first), now = followchain(after, first);
        EXPECT_EQ(now.size(), was.size());
        moved += now != was;
    }
    EXPECT_GE(moved, sizes.size() - 2) << "most chains should lie elsewhere after a scatter";

    // cbmconvert's exit status says nothing about success, so the bytes decide.
    ASSERT_EQ(run("mkdir " + shellquote(dir.file("x")) + " && cd " + shellquote(dir.file("x")) +
                  " && cbmconvert -N -d ../out.d64")
                  .status,
              0);
    for (size_t size : sizes) {
        std::string name = "f" + std::to_string(size);
        EXPECT_EQ(readfile(dir.file("x/" + name + ".prg")), readfile(dir.file(name + ".bin"))) << name;
    }
}

// What cc1541 does not write is added by hand: sectors taken from the BAM, chains, and
// directory entries in the first unused slot.
// Takes n free sectors from the inner tracks, away from cc1541's files, and marks them in use.
std::vector<place> allocate(disk &d, size_t n) {
    std::vector<place> got;
    for (place p : chainablesectors()) {
        if (got.size() < n && p.track > 30 && isfree(d, p)) {
            setfree(d, p, false);
            got.push_back(p);
        }
    }
    return got;
}

// Chains the places in order; the last one ends the chain.
void chain(disk &d, const std::vector<place> &ps) {
    for (size_t i = 0; i + 1 < ps.size(); ++i)
        pointat(d, ps[i], ps[i + 1]);
    pointat(d, ps.back(), {0, 200});
}

uint8_t *freeentry(disk &d) {
    for (place p : followchain(d, {dirtrack, 1}))
        for (size_t e = sectoroffset(p); e < sectoroffset(p) + sectorsize; e += d64::entrysize)
            if (d[e + d64::filetype] == 0)
                return &d[e];
    return nullptr;
}

// A sector's data, bytes 2 to 255, or the whole sector from 0.
disk sectordata(const disk &d, place p, size_t from = 2) {
    return disk(d.begin() + static_cast<long>(sectoroffset(p) + from), d.begin() + static_cast<long>(sectoroffset(p) + sectorsize));
}

// The data along the chain from `first`.
disk chaindata(const disk &d, place first) {
    disk out;
    for (place p : followchain(d, first)) {
        disk data = sectordata(d, p);
        out.insert(out.end(), data.begin(), data.end());
    }
    return out;
}

// What a reader can reach on the disk without the links: each file's chain, each GEOS VLIR record
// through its index block, each REL data sector through the side sectors.
std::vector<disk> readable(const disk &d) {
    std::vector<disk> out;
    for (place p : followchain(d, {dirtrack, 1})) {
        for (size_t e = sectoroffset(p); e < sectoroffset(p) + sectorsize; e += 32) {
            int type = d[e + 2] & 7;
            if (type < 1 || type > 4)
                continue;
            place start{d[e + 3], d[e + 4]}, side{d[e + 21], d[e + 22]};
            out.push_back(chaindata(d, start));
            if (type == 4) {
                for (size_t i = 16; i < static_cast<size_t>(sectorsize); i += 2)
                    if (size_t at = sectoroffset(side) + i; d[at] != 0)
                        out.push_back(sectordata(d, {d[at], d[at + 1]}));
            } else if (d[e + 24] != 0 && d[e + 23] == 1) {
                for (size_t i = 2; i < static_cast<size_t>(sectorsize); i += 2)
                    if (size_t at = sectoroffset(start) + i; d[at] != 0)
                        out.push_back(chaindata(d, {d[at], d[at + 1]}));
            }
        }
    }
    return out;
}

TEST(WithCc1541, RealDiskStructuresSurviveScatter) {
    if (!haveprogram("cc1541"))
        GTEST_SKIP() << "cc1541 is not installed; the interop test did not run";
    tempdir dir;
    ASSERT_TRUE(makecc1541disk(dir, {1, 254, 255, 508, 12000, 27431, 9000}));
    const disk base = readfile(dir.file("disk.d64"));
    std::vector<place> files = filestarts(base);
    place scratched = files[4];
    place inside = followchain(base, files[5])[3];
    // Each case edits the cc1541 disk and returns the sectors that must not change at all.
    struct {
        const char *name;
        std::function<std::vector<place>(disk &)> edit;
    } cases[] = {
        {"clean", [](disk &) { return std::vector<place>{}; }},
        {"scratched file", [&](disk &d) {
             // As the DOS scratches: type 0, sectors freed, their bytes and links left behind.
             for (place p : followchain(d, {dirtrack, 1}))
                 for (size_t e = sectoroffset(p); e < sectoroffset(p) + sectorsize; e += 32)
                     if (place{d[e + 3], d[e + 4]} == scratched)
                         d[e + 2] = 0;
             for (place p : followchain(d, scratched))
                 setfree(d, p, true);
             return std::vector<place>{};
         }},
        {"stale link into a live file", [&](disk &d) {
             for (place p : chainablesectors())
                 if (isfree(d, p)) {
                     pointat(d, p, inside);
                     break;
                 }
             return std::vector<place>{inside};
         }},
        {"REL file", [](disk &d) {
             std::vector<place> data = allocate(d, 4), side = {data.back()};
             data.pop_back();
             chain(d, data);
             size_t ss = sectoroffset(side[0]);
             pointat(d, side[0], {0, 21});
             d[ss + 2] = 0, d[ss + 3] = 64;
             d[ss + 4] = static_cast<uint8_t>(side[0].track), d[ss + 5] = static_cast<uint8_t>(side[0].sector);
             for (size_t i = 0; i < data.size(); ++i)
                 d[ss + 16 + 2 * i] = static_cast<uint8_t>(data[i].track),
                              d[ss + 17 + 2 * i] = static_cast<uint8_t>(data[i].sector);
             uint8_t *e = freeentry(d);
             e[d64::filetype] = 0x80 | d64::rel, e[d64::firsttrack] = static_cast<uint8_t>(data[0].track),
             e[d64::firstsector] = static_cast<uint8_t>(data[0].sector);
             std::fill(e + 5, e + 21, 0xa0);
             e[5] = 'R';
             e[d64::sidetrack] = static_cast<uint8_t>(side[0].track), e[d64::sidesector] = static_cast<uint8_t>(side[0].sector),
             e[d64::recordlength] = 64;
             e[30] = 4;
             data.push_back(side[0]);
             return data;
         }},
        {"GEOS VLIR file", [](disk &d) {
             std::vector<place> s = allocate(d, 6);
             place index = s[0], info = s[1];
             pointat(d, index, {0, 255});
             pointat(d, info, {0, 255});
             chain(d, {s[2], s[3], s[4]});
             chain(d, {s[5]});
             size_t ix = sectoroffset(index);
             d[ix + 2] = static_cast<uint8_t>(s[2].track), d[ix + 3] = static_cast<uint8_t>(s[2].sector);
             d[ix + 4] = static_cast<uint8_t>(s[5].track), d[ix + 5] = static_cast<uint8_t>(s[5].sector);
             std::fill(d.begin() + static_cast<long>(ix + 6), d.begin() + static_cast<long>(ix + sectorsize), 0);
             uint8_t *e = freeentry(d);
             e[d64::filetype] = 0x80 | d64::usr, e[d64::firsttrack] = static_cast<uint8_t>(index.track),
             e[d64::firstsector] = static_cast<uint8_t>(index.sector);
             std::fill(e + 5, e + 21, 0xa0);
             e[5] = 'G';
             e[d64::sidetrack] = static_cast<uint8_t>(info.track), e[d64::sidesector] = static_cast<uint8_t>(info.sector),
             e[d64::geosstructure] = d64::geosvlir, e[d64::geostype] = 6;
             e[30] = 6;
             return std::vector<place>{index, info, s[2], s[5]};
         }},
        {"raw sectors chained like no file", [](disk &d) {
             // A loop, and a run into a track that does not exist: data read by number.
             std::vector<place> s = allocate(d, 5);
             chain(d, {s[0], s[1], s[2]});
             pointat(d, s[2], s[0]);
             chain(d, {s[3], s[4]});
             pointat(d, s[4], {40, 3});
             return s;
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        disk before = base;
        std::vector<place> keep = c.edit(before);
        writefile(dir.file("in.d64"), before);
        runresult r = scatterfile(dir, "in.d64", "out.d64");
        ASSERT_EQ(r.status, 0) << r.err;
        disk after = readfile(dir.file("out.d64"));
        EXPECT_EQ(readable(after), readable(before));
        // The BAM, every free sector whole, and the data of what must stay.
        for (int32_t s = 0; s < tracksecs[dirtrack]; ++s)
            keep.push_back({dirtrack, s});
        for (place p : chainablesectors()) {
            if (isfree(before, p)) {
                EXPECT_EQ(sectordata(after, p, 0), sectordata(before, p, 0)) << "free " << p.track << "/" << p.sector;
            }
        }
        for (place p : keep)
            EXPECT_EQ(sectordata(after, p), sectordata(before, p)) << p.track << "/" << p.sector;
        size_t moved = 0;
        for (place first : files)
            moved += followchain(after, first) != followchain(before, first);
        EXPECT_GE(moved, 3u) << "the files that may move should still be scattered";
        if (cc1541accepts(dir, before)) {
            EXPECT_TRUE(cc1541accepts(dir, after));
        }
    }
}

}  // namespace
