#include "image.h"

#include <gtest/gtest.h>

#include <random>

#include "testdisk.h"

namespace {

TEST(Geometry, SectorsSitWhereD64ReadersExpectThem) {
    struct {
        int32_t track, sector;
        long offset;
    } cases[] = {
        {1, 0, 0},          {1, 20, 5120},       {2, 0, 5376},        {17, 20, 91136},
        {18, 0, 91392},     {18, 18, 96000},     {19, 0, 96256},      {24, 18, 125184},
        {25, 0, 125440},    {30, 17, 152832},    {31, 0, 153088},     {35, 0, 170496},
        {35, 16, 174592},
    };
    for (const auto &c : cases)
        EXPECT_EQ(getptr(c.track, c.sector) - image, c.offset) << c.track << "/" << c.sector;
    EXPECT_EQ(getptr(35, 16) + sectorsize, image + imagesize);
}

TEST(Geometry, ZonesChangeAtTheirTracks) {
    const int32_t expect[] = {0, 21, 21, 19, 19, 18, 18, 17, 17, 0, 0};
    const int32_t tracks[] = {0, 1, 17, 18, 24, 25, 30, 31, 35, 36, 39};
    for (size_t i = 0; i < std::size(tracks); ++i)
        EXPECT_EQ(tracksecs[static_cast<size_t>(tracks[i])], expect[i]) << "track " << tracks[i];
    for (size_t t = 1; t < static_cast<size_t>(numtracks); ++t)
        EXPECT_EQ(trackoffs[t] + tracksecs[t] * sectorsize, trackoffs[t + 1]) << "track " << t;
}

TEST(ImageFile, RoundTripsAnyContentByteForByte) {
    tempdir dir;
    std::mt19937 rng(1541);
    disk original(imagesize);
    for (auto &b : original)
        b = static_cast<uint8_t>(rng());
    std::string in = dir.file("in.d64"), out = dir.file("out.d64");
    writefile(in, original);
    // A longer file already there must be replaced, not written over in part.
    writefile(out, disk(imagesize * 2, 0xee));
    loadd64file(in.c_str());
    EXPECT_TRUE(std::equal(original.begin(), original.end(), image));
    saved64file(out.c_str());
    EXPECT_EQ(readfile(out), original);
}

}  // namespace
