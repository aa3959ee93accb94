#include "pickable.h"

#include <gtest/gtest.h>

#include <functional>

#include "testdisk.h"

namespace {

// A directory entry in slot `slot` of 18/1; bytes 21 to 24 as given.
uint8_t *entry(disk &d, int slot, uint8_t type, place start) {
    uint8_t *e = &d[sectoroffset({dirtrack, 1}) + static_cast<size_t>(32 * slot)];
    e[2] = type;
    e[3] = static_cast<uint8_t>(start.track);
    e[4] = static_cast<uint8_t>(start.sector);
    return e;
}

TEST(Pickable, EachRuleOnItsOwnHoldsItsLinkBack) {
    // One file 1/0 -> 1/1 -> 1/2 -> 1/3 on an otherwise empty disk; a case names which of the
    // links held in 1/0, 1/1 and 1/2 may still be picked.
    struct {
        const char *name;
        std::function<void(disk &)> edit;
        const char *pickable;
    } cases[] = {
        {"a clean file", [](disk &) {}, "yyy"},
        {"another link into 1/2 from a sector in use", [](disk &d) { pointat(d, {2, 0}, {1, 2}); }, "yny"},
        {"another link into 1/2 from a free sector", [](disk &d) { pointat(d, {2, 0}, {1, 2}), setfree(d, {2, 0}, true); }, "yny"},
        {"another link into 1/2 from track 18", [](disk &d) { pointat(d, {dirtrack, 7}, {1, 2}); }, "yny"},
        {"holder 1/0 free in the BAM", [](disk &d) { setfree(d, {1, 0}, true); }, "nyy"},
        {"target 1/3 free in the BAM", [](disk &d) { setfree(d, {1, 3}, true); }, "yyn"},
        {"the directory starts a file at 1/2", [](disk &d) { entry(d, 3, 0x82, {1, 2}); }, "yny"},
        {"a deleted entry names 1/2", [](disk &d) { entry(d, 3, 0x80, {1, 2}); }, "yyy"},
        {"a REL file from 1/0 with its side sector", [](disk &d) {
             uint8_t *e = entry(d, 0, 0x84, {1, 0});
             e[21] = 2, e[22] = 0;
             pointat(d, {2, 0}, {2, 1});
             pointat(d, {2, 1}, {0, 17});
         }, "nnn"},
        {"a GEOS info block at 1/2", [](disk &d) {
             uint8_t *e = entry(d, 0, 0x83, {3, 0});
             e[21] = 1, e[22] = 2, e[24] = 6;
         }, "yny"},
        {"bytes 21 and 22 of a plain file name nothing", [](disk &d) {
             uint8_t *e = entry(d, 0, 0x82, {3, 0});
             e[21] = 1, e[22] = 2, e[23] = 1;
         }, "yyy"},
        {"a GEOS VLIR index block listing 1/3", [](disk &d) {
             uint8_t *e = entry(d, 0, 0x83, {3, 0});
             e[23] = 1, e[24] = 6;
             d[sectoroffset({3, 0}) + 8] = 1, d[sectoroffset({3, 0}) + 9] = 3;
         }, "yyn"},
        {"a sequential GEOS file has no index block", [](disk &d) {
             uint8_t *e = entry(d, 0, 0x82, {3, 0});
             e[24] = 6;
             d[sectoroffset({3, 0}) + 8] = 1, d[sectoroffset({3, 0}) + 9] = 3;
         }, "yyy"},
        {"the directory chain loops", [](disk &d) {
             pointat(d, {dirtrack, 1}, {dirtrack, 4});
             pointat(d, {dirtrack, 4}, {dirtrack, 1});
             entry(d, 1, 0x81, {1, 2});
             d[sectoroffset({dirtrack, 4}) + 32 + 2] = 0x82, d[sectoroffset({dirtrack, 4}) + 32 + 3] = 1;
             d[sectoroffset({dirtrack, 4}) + 32 + 4] = 3;
         }, "ynn"},
        {"the chain runs into track 40", [](disk &d) { pointat(d, {1, 3}, {40, 0}); }, "nnn"},
        {"the chain runs one past the track", [](disk &d) { pointat(d, {1, 3}, {1, 21}); }, "nnn"},
        {"the chain loops back to its start", [](disk &d) { pointat(d, {1, 3}, {1, 0}); }, "nnn"},
        {"the chain passes through track 18", [](disk &d) {
             pointat(d, {1, 3}, {dirtrack, 9});
             pointat(d, {dirtrack, 9}, {0, 9});
         }, "yyy"},
    };
    for (const auto &c : cases) {
        disk d(imagesize, 0);
        pointat(d, {1, 0}, {1, 1});
        pointat(d, {1, 1}, {1, 2});
        pointat(d, {1, 2}, {1, 3});
        pointat(d, {1, 3}, {0, 100});
        c.edit(d);
        std::copy(d.begin(), d.end(), image);
        findpickable();
        std::string got;
        for (int32_t s = 0; s < 3; ++s)
            got += ispickable(1, s, getptr(1, s)) ? 'y' : 'n';
        EXPECT_EQ(got, c.pickable) << c.name;
        EXPECT_EQ(countpickable(), std::count(got.begin(), got.end(), 'y')) << c.name;
    }
}

}  // namespace
