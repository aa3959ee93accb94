// Disks written and read back by independent D64 tools: what they store must survive a scatter.
#include <gtest/gtest.h>

#include <random>

#include "image.h"
#include "testdisk.h"

namespace {

// First sectors of the files listed in the directory chain that starts at 18/1.
std::vector<place> filestarts(const disk &d) {
    std::vector<place> starts;
    for (place p : followchain(d, {dirtrack, 1})) {
        size_t at = sectoroffset(p);
        for (size_t entry = 0; entry < 8; ++entry) {
            size_t e = at + entry * 32;
            if (d[e + 2] != 0)
                starts.push_back({d[e + 3], d[e + 4]});
        }
    }
    return starts;
}

TEST(Interop, FilesWrittenByCc1541ExtractUnchangedAfterScatter) {
    if (!haveprogram("cc1541") || !haveprogram("cbmconvert"))
        GTEST_SKIP() << "cc1541 or cbmconvert is not installed; the interop test did not run";
    tempdir dir;
    std::mt19937 rng(1541);
    const size_t sizes[] = {1, 254, 255, 508, 12000, 27431, 40000, 52222};
    std::string cmd = "cd " + shellquote(dir.path) + " && cc1541 -q -n SCATTER -i 01";
    for (size_t size : sizes) {
        disk content(size);
        for (auto &b : content)
            b = static_cast<uint8_t>(rng());
        std::string name = "f" + std::to_string(size);
        writefile(dir.file(name + ".bin"), content);
        cmd += " -f " + name + " -w " + name + ".bin";
    }
    ASSERT_EQ(run(cmd + " disk.d64").status, 0);
    runresult scatter = run(shellquote(SCATTERDISK_BIN) + " -i " + shellquote(dir.file("disk.d64")) + " -o " +
                            shellquote(dir.file("out.d64")));
    ASSERT_EQ(scatter.status, 0) << scatter.err;

    // cc1541 rewrites the image it validates, so it gets a copy.
    disk before = readfile(dir.file("disk.d64")), after = readfile(dir.file("out.d64"));
    writefile(dir.file("check.d64"), after);
    runresult check = run("cc1541 -q -V " + shellquote(dir.file("check.d64")));
    EXPECT_EQ(check.status, 0) << check.out << check.err;

    std::vector<place> starts = filestarts(after);
    ASSERT_EQ(starts, filestarts(before));
    ASSERT_EQ(starts.size(), std::size(sizes));
    size_t moved = 0;
    for (place first : starts) {
        std::vector<place> was = followchain(before, first), now = followchain(after, first);
        EXPECT_EQ(now.size(), was.size());
        moved += now != was;
    }
    EXPECT_GE(moved, std::size(sizes) - 2) << "most chains should lie elsewhere after a scatter";

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

}  // namespace
