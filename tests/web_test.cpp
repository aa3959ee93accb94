// The page's entry driven as the page drives it: bytes in, the scattered disk and what the page
// shows of it out.
#include "web.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "image.h"
#include "testdisk.h"

namespace {

using namespace d64;

TEST(PageEntry, ScattersAsTheToolDoesAndSaysWhatMoved) {
    struct {
        const char *name;
        disk d;
        int32_t movable, inuse;  // sectors that may move, and in use off track 18
    } cases[] = {
        {"the story disk", storydisk(), 13, numsectors - tracksecs[dirtrack]},
        {"one chain through the disk", chaineddisk(), 663, numsectors - tracksecs[dirtrack]},
        {"a single link: nothing can move", onelinkdisk(), 1, numsectors - tracksecs[dirtrack]},
        {"blank and all free", [] {
             disk d(imagesize, 0);
             for (place p : chainablesectors())
                 setfree(d, p, true);
             return d;
         }(), 0, 0},
    };
    for (const auto &c : cases) {
        std::copy(c.d.begin(), c.d.end(), web_input());
        ASSERT_EQ(web_scatter(imagesize), 0) << c.name;
        ASSERT_EQ(web_check(), 0) << c.name;
        const disk want = scrambled(c.d);
        ASSERT_TRUE(std::equal(want.begin(), want.end(), web_output())) << c.name << ": the tool's bytes";
        const int32_t *v = web_verdict();
        EXPECT_EQ(v[0], 0) << c.name;
        // The sectors whose data bytes differ are the ones that moved: every test disk's sectors
        // hold data of their own, save runs of identical ones, which show as not moved.
        int32_t differ = 0;
        for (size_t i = 0; i < static_cast<size_t>(numsectors); ++i)
            differ += !std::equal(want.begin() + static_cast<long>(i * sectorsize + 2),
                                  want.begin() + static_cast<long>((i + 1) * sectorsize),
                                  c.d.begin() + static_cast<long>(i * sectorsize + 2));
        EXPECT_EQ(v[7], differ) << c.name;
        EXPECT_EQ(v[8], c.inuse) << c.name;
        EXPECT_EQ(v[9], c.movable) << c.name;
        EXPECT_LE(v[7], v[9]) << c.name;
    }
}

TEST(PageEntry, ADamagedOutputIsReportedWithItsPlaceAndItsFile) {
    // The story disk scattered, then one byte of the output changed before the check: what the
    // verdict says (found, the chain's start, the block) and which entries still read the same.
    struct {
        const char *name;
        place at;  // in the disk as chosen; the damage goes where its content is now
        size_t offset;
        int32_t found;
        place start;
        const char *same;  // MAIN, VLIR, RECORDS
    } cases[] = {
        {"a BAM byte", {dirtrack, bamsector}, 4, 1, {dirtrack, bamsector}, "111"},
        {"MAIN's sixth block", {1, 5}, 100, 3, {1, 0}, "011"},
        {"a sector of a VLIR record", {3, 2}, 50, 3, {3, 1}, "101"},
        {"a GEOS info block", {3, 10}, 50, 2, {3, 10}, "101"},
        {"a REL side sector", {8, 0}, 30, 2, {8, 0}, "110"},
        {"a REL data sector", {7, 2}, 9, 3, {7, 0}, "110"},
    };
    for (const auto &c : cases) {
        disk d = storydisk();
        std::copy(d.begin(), d.end(), web_input());
        ASSERT_EQ(web_scatter(imagesize), 0) << c.name;
        size_t was = sectoroffset(c.at) / sectorsize, now = was;
        for (size_t i = 0; i < static_cast<size_t>(numsectors); ++i)
            if (static_cast<size_t>(web_origin()[i]) == was)
                now = i;
        ASSERT_EQ(web_check(), 0) << c.name;
        image[now * sectorsize + c.offset] ^= 0x55;
        EXPECT_EQ(web_check(), c.found) << c.name;
        const int32_t *v = web_verdict();
        EXPECT_EQ((place{v[2], v[3]}), c.start) << c.name;
        std::string same;
        for (int32_t f = 0; f < 3; ++f)
            same += web_same(f) ? '1' : '0';
        EXPECT_EQ(same, c.same) << c.name;
    }
}

TEST(PageEntry, RefusesAWrongLengthWithTheToolsWords) {
    std::strcpy(web_name(), "short.d64");
    EXPECT_EQ(web_scatter(1000), -1);
    EXPECT_STREQ(web_message(), "File 'short.d64' length != 174848 bytes.\n");
    EXPECT_EQ(web_scatter(0xffffffffu), -1);
}

TEST(PageEntry, ListsTheDirectoryAsTheDriveDoes) {
    disk d = storydisk();
    uint8_t *bam = &d[sectoroffset({dirtrack, bamsector})];
    std::copy_n("STORY\xa0\xa0\xa0\xa0\xa0\xa0\xa0\xa0\xa0\xa0\xa0", 16, bam + diskname);
    std::copy_n("AB\xa0" "2A", 5, bam + diskid);
    bam[freecountfor(1)] = 3, bam[freecountfor(dirtrack)] = 17, bam[freecountfor(35)] = 250;
    direntry(d, 3, closed | del, {1, 5});
    direntry(d, 4, lockedflag | 0x05, {1, 6});
    std::copy(d.begin(), d.end(), web_input());
    ASSERT_EQ(web_scatter(imagesize), 0);
    ASSERT_EQ(web_check(), 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(web_diskname()), 5), "STORY");
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(web_diskid()), 5), "AB\xa0" "2A");
    EXPECT_EQ(web_blocksfree(), 253) << "track 18's count is not free space";
    // Entry, its type name, and whether the tool reads it as a file; a DEL and a type past REL
    // point into "MAIN" and are listed, not judged.
    struct {
        const char *name, *type;
        bool file;
    } want[] = {{"MAIN", " PRG ", true}, {"VLIR", " USR ", true}, {"RECORDS", " REL ", true}, {"", " DEL ", false},
                {"", "*EL <", false}};
    ASSERT_EQ(web_count(), 5);
    for (int32_t f = 0; f < 5; ++f) {
        const auto &w = want[f];
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(web_filename(f)), strlen(w.name)), w.name);
        EXPECT_STREQ(web_typename(web_type(f)), w.type) << w.name;
        EXPECT_EQ(web_isfile(web_type(f)) != 0, w.file) << w.name;
        if (w.file) {
            EXPECT_EQ(web_same(f), 1) << w.name;
        }
    }
    // The drive finds the directory wherever its links lead, and so does the listing.
    disk off = offtrackdirectorydisk();
    std::copy(off.begin(), off.end(), web_input());
    ASSERT_EQ(web_scatter(imagesize), 0);
    ASSERT_EQ(web_check(), 0);
    ASSERT_EQ(web_count(), 3);
    for (int32_t f = 0; f < 3; ++f) {
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(web_filename(f)), strlen(want[f].name)), want[f].name);
        EXPECT_EQ(web_same(f), 1) << want[f].name;
    }
}

}  // namespace
