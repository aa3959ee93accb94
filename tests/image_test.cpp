#include "image.h"

#include <gtest/gtest.h>

#include <random>
#include <regex>

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

std::string escaped(const std::string &text) { return std::regex_replace(text, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)"); }

TEST(LoadDeathTest, RefusesEveryLengthButTheOne) {
    tempdir dir;
    // Short and long by a byte, empty, 40 tracks, and 35 tracks carrying error bytes.
    for (size_t size : {174847u, 174849u, 0u, 196608u, 175531u}) {
        std::string name = dir.file("disk" + std::to_string(size) + ".d64");
        writefile(name, disk(size, 0x55));
        EXPECT_EXIT(loadd64file(name.c_str()), testing::ExitedWithCode(255),
                    "^" + escaped("File '" + name + "' length != 174848 bytes.\n") + "$")
            << size << " bytes";
    }
}

TEST(LoadDeathTest, MissingFileIsNamed) {
    tempdir dir;
    std::string name = dir.file("absent.d64");
    EXPECT_EXIT(loadd64file(name.c_str()), testing::ExitedWithCode(255),
                "^" + escaped("Failed to open input file '" + name + "'\n") + "$");
}

TEST(LoadDeathTest, DirectoryIsRefused) {
    tempdir dir;
    EXPECT_EXIT(loadd64file(dir.path.c_str()), testing::ExitedWithCode(255), escaped("'" + dir.path + "'"));
}

TEST(SaveDeathTest, FailuresToWriteAreReported) {
    tempdir dir;
    std::string nodir = dir.file("no/such/dir.d64");
    EXPECT_EXIT(saved64file(nodir.c_str()), testing::ExitedWithCode(255),
                "^" + escaped("Failed to open output file '" + nodir + "'\n") + "$");
    EXPECT_EXIT(saved64file("/dev/full"), testing::ExitedWithCode(255),
                "^" + escaped("Failed to write output file '/dev/full'\n") + "$");
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
