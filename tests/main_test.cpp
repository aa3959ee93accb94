// The command line, driven through the built program as a user drives it.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "image.h"
#include "testdisk.h"

namespace {

const std::string usagetext =
    "scatterdisk v0.1\n"
    "usage: scatterdisk [options]\n"
    "\n"
    "[options]\n"
    "-i [infile]     input d64 image\n"
    "-o [outfile]    output d64 image\n"
    "-?,-h           show this help screen\n";

bool exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// Names in a folder that look like the tool's temporary files.
std::vector<std::string> leftovers(const tempdir &dir) {
    std::vector<std::string> names;
    DIR *d = opendir(dir.path.c_str());
    while (dirent *e = d ? readdir(d) : nullptr)
        if (std::string(e->d_name).find(".scatterdisk-") != std::string::npos)
            names.push_back(e->d_name);
    if (d)
        closedir(d);
    return names;
}

// Runs the tool in `dir`, where in.d64 holds a chained disk and nothing else exists yet.
runresult runin(const tempdir &dir, const std::string &args) {
    return run("cd " + shellquote(dir.path) + " && " + shellquote(SCATTERDISK_BIN) + " " + args);
}

TEST(CommandLine, RefusalsPrintExactlyTheirText) {
    struct {
        const char *args;
        std::string out, err;
    } cases[] = {
        {"", usagetext, ""},
        {"-h", usagetext, ""},
        {"-i in.d64 -o", usagetext, ""},
        {"-i in.d64 -o out.d64 -h", usagetext, ""},
        {"'-?' -i in.d64 -o out.d64", usagetext, ""},
        {"-help -i in.d64 -o out.d64", usagetext, ""},
        {"-x 1 -i in.d64 -o out.d64", "error: unknown switch \"-x\"\n\n" + usagetext, ""},
        {"-i in.d64 -o out.d64 -xyz", "error: unknown switch \"-xyz\"\n\n" + usagetext, ""},
        {"-i in.d64 - -o out.d64", "error: unknown switch \"-\"\n\n" + usagetext, ""},
        {"in.d64 -i in.d64 -o out.d64", usagetext, ""},
        {"-i in.d64 -o out.d64 ''", usagetext, ""},
        {"-i in.d64 -o out.d64 -i", usagetext, ""},
        {"-o out.d64 -i in.d64 -o", usagetext, ""},
        {"-i absent.d64 -o out.d64", "", "Failed to open input file 'absent.d64'\n"},
        {"-o out.d64 -o out.d64", "", "Failed to open input file ''\n"},
        {"-i 174847.d64 -o out.d64", "", "File '174847.d64' length != 174848 bytes.\n"},
        {"-i 174849.d64 -o out.d64", "", "File '174849.d64' length != 174848 bytes.\n"},
        {"-i 0.d64 -o out.d64", "", "File '0.d64' length != 174848 bytes.\n"},
        {"-i 196608.d64 -o out.d64", "", "File '196608.d64' length != 174848 bytes.\n"},
        {"-i 175531.d64 -o out.d64", "", "File '175531.d64' length != 174848 bytes.\n"},
        {"-i . -o out.d64", "", "Failed to open input file '.'\n"},
        {"-i /dev/zero -o out.d64", "", "File '/dev/zero' length != 174848 bytes.\n"},
        {"-i /dev/stdin -o out.d64 < 0.d64", "", "File '/dev/stdin' length != 174848 bytes.\n"},
        {"-i in.d64 -i in.d64", "", "Failed to open output file ''\n"},
        {"-i in.d64 -o no/such/out.d64", "", "Failed to open output file 'no/such/out.d64'\n"},
        {"-i in.d64 -o /dev/full", "", "Failed to write output file '/dev/full'\n"},
    };
    for (const auto &c : cases) {
        tempdir dir;
        writefile(dir.file("in.d64"), chaineddisk());
        // Short and long by a byte, empty, 40 tracks, and 35 tracks carrying error bytes.
        for (size_t size : {174847u, 174849u, 0u, 196608u, 175531u})
            writefile(dir.file(std::to_string(size) + ".d64"), disk(size, 0x55));
        runresult r = runin(dir, c.args);
        EXPECT_EQ(r.status, 255) << c.args;
        EXPECT_EQ(r.out, c.out) << c.args;
        EXPECT_EQ(r.err, c.err) << c.args;
        EXPECT_FALSE(exists(dir.file("out.d64"))) << c.args;
    }
}

TEST(CommandLine, SwitchSpellingsAndOrderGiveTheSameDisk) {
    tempdir dir;
    writefile(dir.file("in.d64"), chaineddisk());
    writefile(dir.file("-o"), chaineddisk());
    const char *runs[][2] = {
        {"-i in.d64 -o plain.d64", "plain.d64"},
        {"-input in.d64 -output long.d64", "long.d64"},
        {"-o x.d64 -i absent.d64 -i in.d64 -o last.d64", "last.d64"},
        {"-i -o -o dash.d64", "dash.d64"},
    };
    for (const auto &r : runs) {
        runresult got = runin(dir, r[0]);
        EXPECT_EQ(got.status, 0) << r[0];
        EXPECT_EQ(got.out + got.err, "") << r[0];
    }
    disk plain = readfile(dir.file("plain.d64"));
    EXPECT_NE(plain, chaineddisk());
    for (const char *name : {"long.d64", "last.d64", "dash.d64"})
        EXPECT_EQ(readfile(dir.file(name)), plain) << name;
    EXPECT_FALSE(exists(dir.file("x.d64")));
}

TEST(CommandLine, SameFileInAndOutIsReplacedByItsScatter) {
    tempdir dir;
    writefile(dir.file("in.d64"), chaineddisk());
    writefile(dir.file("disk.d64"), chaineddisk());
    ASSERT_EQ(runin(dir, "-i in.d64 -o out.d64").status, 0);
    ASSERT_EQ(runin(dir, "-i disk.d64 -o disk.d64").status, 0);
    EXPECT_EQ(readfile(dir.file("disk.d64")), readfile(dir.file("out.d64")));
}

TEST(CommandLine, DiskWithoutLinksIsWrittenUnchanged) {
    tempdir dir;
    disk blank(imagesize, 0);
    blank[sectoroffset({dirtrack, 0})] = dirtrack;
    writefile(dir.file("blank.d64"), blank);
    runresult r = runin(dir, "-i blank.d64 -o out.d64");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_EQ(readfile(dir.file("out.d64")), blank);
}

TEST(CommandLine, NamesLongerThanAnyFixedBufferWork) {
    tempdir dir;
    writefile(dir.file("in.d64"), chaineddisk());
    std::string dots;
    for (int i = 0; i < 700; ++i)
        dots += "./";
    std::string toolong = std::string(300, 'o') + ".d64";
    ASSERT_EQ(runin(dir, "-i " + dots + "in.d64 -o " + dots + "out.d64").status, 0);
    EXPECT_EQ(readfile(dir.file("out.d64")).size(), static_cast<size_t>(imagesize));
    EXPECT_EQ(runin(dir, "-i " + dots + "absent -o x").err, "Failed to open input file '" + dots + "absent'\n");
    EXPECT_EQ(runin(dir, "-i in.d64 -o " + toolong).err, "Failed to open output file '" + toolong + "'\n");
}

// The chained disk with a BAM that frees tracks 31 to 35 and one directory entry starting at 10/0.
disk safetydisk() {
    disk d = chaineddisk();
    size_t bam = sectoroffset({dirtrack, d64::bamsector}), dir = sectoroffset({dirtrack, d64::firstdirsector});
    // Only the bits: the known answer was taken with the free counts left as they were.
    for (int32_t t = 31; t <= numtracks; ++t)
        for (int32_t s = 0; s < tracksecs[static_cast<size_t>(t)]; ++s)
            d[bam + d64::bamfor(t, s).byte] |= d64::bamfor(t, s).bit;
    d[dir + d64::linksector] = 255;
    d[dir + d64::filetype] = 0x80 | d64::prg;
    d[dir + d64::firsttrack] = 10;
    std::fill(d.begin() + static_cast<long>(dir + 5), d.begin() + static_cast<long>(dir + 21), 0xa0);
    std::copy_n("SAFETY", 6, d.begin() + static_cast<long>(dir + 5));
    return d;
}

TEST(CommandLine, KnownDisksGiveTheKnownScatter) {
    // Digests of reference runs; any platform or compiler must reproduce them.
    struct {
        disk in;
        const char *insha, *outsha;
    } cases[] = {
        {chaineddisk(), "c58a9985bc7f3de72730c2cbe11c66a429e7c04216b91a27e6cd71782327a61c",
         "70a353bc360669163db66e665d85e2ef5cdc25d5b1a8383fa9bf724fd54a2a4e"},
        {safetydisk(), "8e9693602249838a8eea26d87b3c4457b70937ee0e5b168096cad57b0a982175",
         "8dc3c631be6857381ea453736f88c1d3f45ac9fbdb144ea41bbd5028b2b089a6"},
        // The directory moved off track 18: what its entries name stays in place.
        {offtrackdirectorydisk(), "4e59c7c44b2df148b655730b4787cedb7bbf35a0a2fcfb711f8085ceeb1fc07c",
         "e3f5cbf7b21c71281ee513b330d2d79cc22c99b7f88fc45603b447cd5588dd12"},
    };
    for (const auto &c : cases) {
        tempdir dir;
        writefile(dir.file("in.d64"), c.in);
        ASSERT_EQ(runin(dir, "-i in.d64 -o out.d64").status, 0);
        EXPECT_EQ(run("sha256sum " + shellquote(dir.file("in.d64"))).out.substr(0, 64), c.insha);
        EXPECT_EQ(run("sha256sum " + shellquote(dir.file("out.d64"))).out.substr(0, 64), c.outsha);
    }
}

// Runs a shell script in a scratch folder, with the built tool first on the PATH and named by $BIN,
// $FAILCALL naming the library that fails its calls (where it is built), and the variables given.
runresult runscript(const tempdir &dir, const std::string &script,
                    const std::vector<std::pair<std::string, std::string>> &vars = {}) {
    std::string bin = SCATTERDISK_BIN, folder = bin.substr(0, bin.rfind('/'));
    std::string set = "PATH=" + shellquote(folder) + ":$PATH; BIN=" + shellquote(bin) + "; export PATH BIN; ";
#ifdef SCATTERDISK_FAILCALL
    set += "FAILCALL=" + shellquote(SCATTERDISK_FAILCALL) + "; export FAILCALL; ";
#endif
    for (const auto &[name, value] : vars)
        set += name + "=" + shellquote(value) + "; export " + name + "; ";
    return run("cd " + shellquote(dir.path) + " && " + set + "(" + script + ")");
}

// What old.d64 holds after a run: what it held, the scatter of in.d64, a part of that, in.d64 as it
// was (another run's output), or the scatter of what old.d64 held.
enum afterwards { oldkept, newwritten, cut, another, oldscattered };

struct outputcase {
    const char *name;
    std::string script;
    int status;
    std::string out, err;
    afterwards old;
};

// Runs each case in a folder holding in.d64 (a chained disk) and old.d64 (another).
void expectoutputs(const std::vector<outputcase> &cases) {
    for (const auto &c : cases) {
        tempdir dir;
        std::vector<place> firsts;
        disk old = randomchains(5, 3, firsts);
        writefile(dir.file("in.d64"), chaineddisk());
        writefile(dir.file("old.d64"), old);
        runresult r = runscript(dir, c.script);
        EXPECT_EQ(r.status, c.status) << c.name;
        EXPECT_EQ(r.out, c.out) << c.name;
        EXPECT_EQ(r.err, c.err) << c.name;
        disk now = readfile(dir.file("old.d64")), scattered = scrambled(chaineddisk());
        switch (c.old) {
        case oldkept: EXPECT_TRUE(now == old) << c.name; break;
        case newwritten: EXPECT_TRUE(now == scattered) << c.name; break;
        case another: EXPECT_TRUE(now == chaineddisk()) << c.name; break;
        case oldscattered: EXPECT_TRUE(now == scrambled(old)) << c.name; break;
        case cut:
            EXPECT_TRUE(now.size() < scattered.size() && std::equal(now.begin(), now.end(), scattered.begin())) << c.name;
        }
        EXPECT_EQ(leftovers(dir), std::vector<std::string>{}) << c.name;
    }
}

// Root may write any file, so refusals are tried as nobody, from a copy of the tool that nobody may
// run wherever the build lies.
const bool root = geteuid() == 0;
const std::string nobody = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
const std::string tool = "cp \"$BIN\" sd && chmod 755 sd && ";
const std::string prepare = root ? "chmod 777 . && " + tool : "";
const std::string asuser = root ? nobody + "./sd" : "scatterdisk";

TEST(CommandLine, OutputHoldsTheOldImageOrTheWholeNewOne) {
    const std::string closed = "mkdir d && mv old.d64 d && chmod 666 d/old.d64 && chmod 555 d && ";
    const std::string reopen = "; s=$?; chmod 755 d && mv d/old.d64 . && exit $s";
    expectoutputs({
        {"write cut short in place", "(ulimit -f 100; trap '' XFSZ; scatterdisk -i old.d64 -o old.d64)", 255, "",
         "Failed to write output file 'old.d64'\n", oldkept},
        {"file-size limit in place", prepare + closed + "(ulimit -f 100; " + asuser + " -i in.d64 -o d/old.d64)" + reopen, 255,
         "", "Failed to write output file 'd/old.d64'\n", oldkept},
        {"file-size limit on a stream", "(ulimit -f 100; scatterdisk -i in.d64 -o /dev/stdout > old.d64)", 255, "",
         "Failed to write output file '/dev/stdout'\n", cut},
        {"symbolic link", "ln -s old.d64 link.d64 && scatterdisk -i in.d64 -o link.d64 && test -L link.d64", 0, "", "",
         newwritten},
        {"dangling symbolic link", "rm old.d64 && ln -s old.d64 link.d64 && scatterdisk -i in.d64 -o link.d64 && test -L link.d64",
         0, "", "", newwritten},
        {"stream redirected to a file", "scatterdisk -i in.d64 -o /dev/stdout > old.d64", 0, "", "", newwritten},
        {"caller's descriptor", "scatterdisk -i in.d64 -o /dev/fd/3 3> old.d64", 0, "", "", newwritten},
        {"piped input", "cat in.d64 | scatterdisk -i /dev/stdin -o old.d64", 0, "", "", newwritten},
        {"short piped input", "head -c 1000 in.d64 | scatterdisk -i /dev/stdin -o old.d64", 255, "",
         "File '/dev/stdin' length != 174848 bytes.\n", oldkept},
        {"piped input a byte long", "(cat in.d64; echo) | scatterdisk -i /dev/stdin -o old.d64", 255, "",
         "File '/dev/stdin' length != 174848 bytes.\n", oldkept},
        {"permission bits kept", "chmod 604 old.d64 && scatterdisk -i in.d64 -o old.d64 && stat -c %a old.d64", 0, "604\n", "",
         newwritten},
        {"new file takes the umask", "rm old.d64 && umask 027 && scatterdisk -i in.d64 -o old.d64 && stat -c %a old.d64", 0,
         "640\n", "", newwritten},
        {"read-only file refused", "chmod 444 old.d64 && " + prepare + asuser + " -i in.d64 -o old.d64", 255, "",
         "Failed to open output file 'old.d64'\n", oldkept},
        {"folder closed, file open", prepare + closed + asuser + " -i in.d64 -o d/old.d64" + reopen, 0, "", "", newwritten},
    });
}

// Calls failed, and other programs acting, at chosen moments of a run.
TEST(CommandLine, FailedCallsAndOtherRunsLeaveTheOutputWhole) {
#ifndef SCATTERDISK_FAILCALL
    GTEST_SKIP() << "the library that fails calls is not built here (a static or cross build)";
#endif
    // A name too long for the temporary file's beside it: the run rewrites the output in place.
    const std::string longname = std::string(240, 'n');
    const std::string inplace = "export L=" + longname + " && mv old.d64 $L && ";
    const std::string back = "; s=$?; mv $L old.d64; exit $s";
    // A new output needs no name for its temporary file: where the file system refuses to link
    // the new file in, a new output too is made in place.
    const std::string nolink = "FAIL_ALSO=linkat:1 ";
    std::vector<outputcase> cases = {
        // Another program makes the name a link while the image is written: the link is not replaced.
        {"link made meanwhile", "env LD_PRELOAD=$FAILCALL FAIL_CALL=write FAIL_ERRNO=0 FAIL_RUN='mv old.d64 real.d64 && "
         "ln -s real.d64 old.d64' scatterdisk -i in.d64 -o old.d64; s=$?; test -L old.d64 && exit $s", 255, "",
         "Failed to open output file 'old.d64'\n", oldkept},
        // Some systems refuse the set-id and sticky bits alone.
        {"mode given without set-id bits", "chmod 640 old.d64 && env LD_PRELOAD=$FAILCALL FAIL_CALL=fchmod FAIL_ERRNO=1 "
         "scatterdisk -i in.d64 -o old.d64 && stat -c %a old.d64", 0, "640\n", "", newwritten},
        {"in place, write refused", inplace + "env LD_PRELOAD=$FAILCALL FAIL_CALL=write FAIL_ERRNO=5 scatterdisk -i in.d64 "
         "-o $L" + back, 255, "", "Failed to write output file '" + longname + "'\n", oldkept},
        // Run B made the output to rewrite in place and fails; run A's finished output has taken
        // the name meanwhile, and B must not remove it.
        {"another run's output kept", "rm old.d64 && export L=" + longname + " && env LD_PRELOAD=$FAILCALL " + nolink +
         "FAIL_CALL=write FAIL_AT=2 FAIL_ERRNO=28 FAIL_RUN='cp in.d64 t && mv t $L' scatterdisk -i in.d64 -o $L" + back, 255, "",
         "Failed to write output file '" + longname + "'\n", another},
        // Run B starts while run A is half way through its rewrite in place, and waits for it.
        {"runs in place one after the other", "cp old.d64 other.d64 && " + inplace + "env LD_PRELOAD=$FAILCALL "
         "FAIL_CALL=write FAIL_SHORT=1 FAIL_ERRNO=0 FAIL_RUN='(scatterdisk -i other.d64 -o $L; echo $? > b) & "
         "sleep 0.5; test ! -e b' scatterdisk -i in.d64 -o $L; echo $?; for i in $(seq 600); do [ -e b ] && break; sleep 0.05; done; cat b"
         + back, 0, "0\n0\n", "", oldscattered},
        // Run A finishes in place while run B waits for the lock; B's write then fails, and its
        // undo must keep A's whole image, not cut it to the length B saw before the wait.
        {"a finished run's image kept by one that waited", "cp old.d64 other.d64 && " + inplace + "head -c 1000 "
         "other.d64 > $L && env LD_PRELOAD=$FAILCALL FAIL_RUN_ON=flock FAIL_RUN='scatterdisk -i other.d64 -o $L' "
         "FAIL_CALL=write FAIL_ERRNO=28 scatterdisk -i in.d64 -o $L" + back, 255, "",
         "Failed to write output file '" + longname + "'\n", oldscattered},
        // Run B fills the file run A has just made; A's lock then fails, and B's output stays.
        {"a file this run made, filled by another", "cp old.d64 other.d64 && rm old.d64 && export L=" + longname +
         " && env LD_PRELOAD=$FAILCALL " + nolink + "FAIL_CALL=flock FAIL_ERRNO=5 FAIL_RUN='scatterdisk -i other.d64 -o $L' "
         "scatterdisk -i in.d64 -o $L" + back, 255, "", "Failed to open output file '" + longname + "'\n", oldscattered},
        // A link put at the name after it was followed, just before the in-place open (open #3).
        {"link made before the in-place open", inplace + "env LD_PRELOAD=$FAILCALL FAIL_CALL=open FAIL_AT=3 FAIL_ERRNO=0 "
         "FAIL_RUN='mv $L real.d64 && ln -s real.d64 $L' scatterdisk -i in.d64 -o $L; s=$?; test -L $L && rm $L && "
         "mv real.d64 old.d64 && exit $s", 255, "", "Failed to open output file '" + longname + "'\n", oldkept},
        // The link refuses the rename; the named temporary file's identity cannot be checked (the
        // third look at a name: the output's before the run, the look that finds the link, then
        // the temporary file's; the log says it failed), yet it is the run's own and goes.
        {"temporary file removed by name", "env LD_PRELOAD=$FAILCALL FAIL_TMPFILE=1 FAIL_RUN_ON=write FAIL_RUN='mv old.d64 "
         "real.d64 && ln -s real.d64 old.d64' FAIL_CALL=lstat FAIL_AT=3 FAIL_ERRNO=5 FAIL_LOG=fired scatterdisk -i in.d64 "
         "-o old.d64; s=$?; grep -qx 'lstat 3' fired && rm fired && test -L old.d64 && rm old.d64 && mv real.d64 old.d64 && exit $s", 255, "", "Failed to open output file 'old.d64'\n",
         oldkept},
        // A pipe put there instead, which nobody reads: refused, not waited on for ever.
        {"pipe made before the in-place open", inplace + "env LD_PRELOAD=$FAILCALL FAIL_CALL=open FAIL_AT=3 FAIL_ERRNO=0 "
         "FAIL_RUN='mv $L real.d64 && mkfifo $L' timeout 20 scatterdisk -i in.d64 -o $L; s=$?; test -p $L && rm $L && "
         "mv real.d64 old.d64 && exit $s", 255, "", "Failed to open output file '" + longname + "'\n", oldkept},
        // The output's folder is moved away and a link to another put in its place while the image
        // is written: the new image goes into the folder the run opened, nothing into the other.
        {"folder swapped for a link meanwhile", "mkdir d && mv old.d64 d/ && mkdir elsewhere && env LD_PRELOAD=$FAILCALL "
         "FAIL_CALL=fchmod FAIL_ERRNO=0 FAIL_RUN='mv d moved && ln -s elsewhere d' scatterdisk -i in.d64 -o d/old.d64 && "
         "ls -A elsewhere | wc -l && mv moved/old.d64 old.d64", 0, "0\n", "", newwritten},
        // A link put at the name while the new image is flushed is not replaced either.
        {"link made during the flush", "env LD_PRELOAD=$FAILCALL FAIL_CALL=fsync FAIL_ERRNO=0 FAIL_RUN='mv old.d64 "
         "real.d64 && ln -s real.d64 old.d64' scatterdisk -i in.d64 -o old.d64; s=$?; test -L old.d64 && rm old.d64 && "
         "mv real.d64 old.d64 && exit $s", 255, "", "Failed to open output file 'old.d64'\n", oldkept},
        // In place, the folder swapped for a link to another holding a file of the same name: that
        // file is left alone, and the image goes into the folder the run opened.
        {"folder swapped for a link meanwhile, in place", "export L=" + longname + " && mkdir d elsewhere && mv old.d64 "
         "d/$L && cp in.d64 elsewhere/$L && env LD_PRELOAD=$FAILCALL FAIL_CALL=flock FAIL_ERRNO=0 FAIL_RUN='mv d moved && "
         "ln -s elsewhere d' scatterdisk -i in.d64 -o d/$L && cmp -s in.d64 elsewhere/$L && mv moved/$L old.d64", 0, "", "",
         newwritten},
        // Under nohup a hang-up is ignored, and must not end the wait for another run's lock.
        {"hang-up under nohup while waiting for the lock", inplace + "trap '' HUP; env LD_PRELOAD=$FAILCALL "
         "FAIL_CALL=flock FAIL_ERRNO=0 FAIL_RUN='flock $L sleep 0.3 & sleep 0.1; kill -HUP $PPID' scatterdisk -i "
         "in.d64 -o $L" + back, 0, "", "", newwritten},
    };
    expectoutputs(cases);
}

TEST(AsRoot, OwnerAndGroupFollowTheOldFile) {
    if (!root)
        GTEST_SKIP() << "needs root to give files other owners and groups";
    // Where the group cannot be kept, the new one may read no more than others could.
    std::vector<outputcase> cases = {
        {"owner and group kept", "chown 1000:1234 old.d64 && chmod 664 old.d64 && scatterdisk -i in.d64 -o old.d64 && "
         "stat -c '%u %g %a' old.d64", 0, "1000 1234 664\n", "", newwritten},
        // A member of the file's group replaces a colleague's file in a shared folder.
        {"group kept where the owner cannot be", "chown 1000:1234 old.d64 && chmod 664 old.d64 && chgrp 1234 . && "
         "chmod 775 . && " + tool + "setpriv --reuid=65534 --regid=65534 --groups=1234 ./sd -i in.d64 -o old.d64 && "
         "stat -c '%u %g %a' old.d64", 0, "65534 1234 664\n", "", newwritten},
        {"group that cannot be kept", "chown 65534:1234 old.d64 && chmod 2640 old.d64 && chmod 777 . && " + tool +
         nobody + "./sd -i in.d64 -o old.d64 && stat -c '%u %g %a' old.d64",
         0, "65534 65534 600\n", "", newwritten},
    };
#ifdef SCATTERDISK_FAILCALL
    cases.push_back({"owner calls refused", "chown 1000:1234 old.d64 && chmod 664 old.d64 && env LD_PRELOAD=$FAILCALL "
         "FAIL_CALL=fchown FAIL_TIMES=0 FAIL_ERRNO=1 scatterdisk -i in.d64 -o old.d64 && stat -c '%u %g %a' old.d64",
         0, "0 0 644\n", "", newwritten});
#endif
    expectoutputs(cases);
}

TEST(AsRoot, WhatAnotherUserPlantedInASharedFolderIsNotWrittenThrough) {
    if (!root)
        GTEST_SKIP() << "needs root to be another user than the one who plants";
    // A sticky folder anyone may write, as /tmp: nobody puts a pipe, a link or a file at the name.
    // As the kernel's protected_fifos, protected_symlinks and protected_regular refuse to, the tool
    // writes through none of them. Its own pipe it still writes to.
    const std::string shared = "chmod 1777 . && mv old.d64 keep.d64 && " + nobody;
    const std::string refused = " && timeout 10 scatterdisk -i in.d64 -o old.d64; s=$?; ";
    std::vector<outputcase> cases = {
        {"a pipe", shared + "mkfifo old.d64" + refused + "test -p old.d64 && rm old.d64 && mv keep.d64 old.d64; exit $s", 255, "",
         "Failed to open output file 'old.d64'\n", oldkept},
        {"a link to the user's own file", shared + "ln -s keep.d64 old.d64" + refused +
         "test -L old.d64 && rm old.d64 && mv keep.d64 old.d64; exit $s", 255, "", "Failed to open output file 'old.d64'\n",
         oldkept},
        {"a file", shared + "sh -c 'cp keep.d64 old.d64 && chmod 666 old.d64'" + refused +
         "cmp -s old.d64 keep.d64 && test \"$(stat -c %u old.d64)\" = 65534 && rm keep.d64; exit $s", 255, "",
         "Failed to open output file 'old.d64'\n", oldkept},
        {"the user's own pipe", "chmod 1777 . && mkfifo own.d64 && { cat own.d64 > got & } && scatterdisk -i in.d64 -o "
         "own.d64; s=$?; wait; rm own.d64 && mv got old.d64; exit $s", 0, "", "", newwritten},
    };
    expectoutputs(cases);
}

TEST(CommandLine, AccessIsNeverWidened) {
    // Who may read the new image: the old file's owner, mode, ACL and user attributes, never
    // more; where the ACL cannot be copied, the owner alone; a new output what a plain create gives.
    // Run by any user, on a file system that keeps ACLs.
    {
        tempdir probe;
        if (!haveprogram("setfacl") || run("cd " + shellquote(probe.path) + " && touch f && setfacl -m u:65534:r f").status != 0)
            GTEST_SKIP() << "no setfacl, or no ACLs where the tests run";
    }
    std::vector<outputcase> cases = {
        {"a default ACL of the folder adds nothing", "chmod 640 old.d64 && setfacl -m d:u:nobody:rw . && "
         "scatterdisk -i in.d64 -o old.d64 && getfacl -cp old.d64 | grep -c nobody; stat -c %a old.d64",
         0, "0\n640\n", "", newwritten},
        {"the old file's ACL kept", "chmod 640 old.d64 && setfacl -m u:nobody:r old.d64 && setfacl -m d:u:daemon:rw . && "
         "scatterdisk -i in.d64 -o old.d64 && getfacl -cp old.d64 | grep -E '^user:[a-z]'", 0, "user:nobody:r--\n", "",
         newwritten},
        {"a new output in a folder kept private by its default ACL", "rm old.d64 && setfacl -d -m u::rw,g::-,o::- . && "
         "scatterdisk -i in.d64 -o new.d64 && stat -c %a new.d64 && mv new.d64 old.d64", 0, "600\n", "", newwritten},
        {"a new output under the umask", "rm old.d64 && umask 027 && scatterdisk -i in.d64 -o new.d64 && "
         "stat -c %a new.d64 && mv new.d64 old.d64", 0, "640\n", "", newwritten},
    };
#ifdef SCATTERDISK_FAILCALL
    // The copy fails: reading the old ACL, writing it, or taking away the one the folder's default
    // ACL gave the new file where the old had none.
    const struct {
        const char *name, *call, *setup;
    } failures[] = {{"a failed ACL read leaves the owner alone", "fgetxattr", "setfacl -m u:nobody:r old.d64"},
                    // As an ACL too long to copy answers (ERANGE): its group, which the mode shows
                    // as its mask, may read nothing.
                    {"an ACL too long to copy leaves the owner alone", "fgetxattr",
                     "setfacl -m u:nobody:r,g::-,m::rw old.d64 && export FAIL_ERRNO=34"},
                    {"a failed ACL write leaves the owner alone", "fsetxattr", "setfacl -m u:nobody:r old.d64"},
                    {"a default ACL that cannot be taken away leaves the owner alone", "fremovexattr",
                     "setfacl -m d:u:nobody:rw ."}};
    for (const auto &f : failures)
        cases.push_back({f.name, "chmod 664 old.d64 && " + std::string(f.setup) + " && env LD_PRELOAD=$FAILCALL FAIL_CALL=" +
                                     f.call + " FAIL_TIMES=0 FAIL_ERRNO=${FAIL_ERRNO:-5} scatterdisk -i in.d64 -o old.d64 && "
                                     "stat -c %a old.d64",
                         0, "600\n", "", newwritten});
    // A private file that another program puts at the name during a new output's run is replaced
    // by one just as private; so on the named path.
    for (const char *named : {"", "FAIL_TMPFILE=1 "})
        cases.push_back({"a private file put at the name meanwhile", "rm old.d64 && env LD_PRELOAD=$FAILCALL " +
                             std::string(named) + "FAIL_CALL=write FAIL_ERRNO=0 FAIL_RUN='(umask 077; cp in.d64 old.d64)' "
                             "scatterdisk -i in.d64 -o old.d64 && stat -c %a old.d64", 0, "600\n", "", newwritten});
#endif
    if (haveprogram("setfattr"))
        cases.push_back({"user attributes kept", "setfattr -n user.origin -v collection old.d64 && scatterdisk -i in.d64 "
                         "-o old.d64 && getfattr --only-values -n user.origin old.d64; echo", 0, "collection\n", "", newwritten});
    expectoutputs(cases);
}

#ifdef SCATTERDISK_FAILCALL
// Every file and folder below `top` but the one at `skip`: its mode and owner with a hash of its
// content, or where a link leads. A temporary file left behind shows as one more.
std::map<std::string, std::string> snapshot(const std::string &top, const std::string &skip,
                                            const std::string &at = "") {
    std::map<std::string, std::string> files;
    DIR *d = opendir((top + at).c_str());
    while (dirent *e = d ? readdir(d) : nullptr) {
        std::string name = e->d_name, rel = at + "/" + name;
        struct stat st;
        if (name == "." || name == ".." || rel == "/" + skip || lstat((top + rel).c_str(), &st) != 0)
            continue;
        std::string &seen = files[rel];
        seen = std::to_string(st.st_mode) + " " + std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid) + " ";
        if (S_ISDIR(st.st_mode)) {
            auto below = snapshot(top, skip, rel);
            files.insert(below.begin(), below.end());
        } else if (S_ISLNK(st.st_mode)) {
            char to[4096];
            ssize_t n = readlink((top + rel).c_str(), to, sizeof to);
            seen += "-> " + std::string(to, static_cast<size_t>(n > 0 ? n : 0));
        } else {
            disk bytes = readfile(top + rel);
            seen += std::to_string(std::hash<std::string>()(std::string(bytes.begin(), bytes.end())));
        }
    }
    if (d)
        closedir(d);
    return files;
}

int errnumber(const std::string &name) {
    static const std::map<std::string, int> numbers = {
        {"EIO", EIO},     {"ENOSPC", ENOSPC}, {"EDQUOT", EDQUOT}, {"EINTR", EINTR},   {"EACCES", EACCES},
        {"EPERM", EPERM}, {"EROFS", EROFS},   {"EFBIG", EFBIG},   {"ENOMEM", ENOMEM}, {"EINVAL", EINVAL},
        {"EXDEV", EXDEV}, {"ENOLCK", ENOLCK}, {"EOPNOTSUPP", EOPNOTSUPP}};
    return numbers.at(name);
}

#endif

TEST(CommandLine, EveryFailedCallLeavesTheOldImageOrTheWholeNewOne) {
#ifndef SCATTERDISK_FAILCALL
    GTEST_SKIP() << "the library that fails calls is not built here (a static or cross build)";
#else
    // Each call the tool makes of these, failed once in turn, with the errors it is likeliest to
    // meet (SCATTERDISK_FULL_SWEEP=1: every plausible one); "short" cuts a read or write to half
    // its count, then fails the next.
    const bool full = getenv("SCATTERDISK_FULL_SWEEP") != nullptr;
    const std::vector<std::string> every = {"EIO",    "ENOSPC", "EDQUOT", "EINTR", "EACCES",
                                            "EPERM",  "EROFS",  "EFBIG",  "ENOMEM", "EINVAL"};
    const std::map<std::string, std::vector<std::string>> likely = {
        {"open", {"EACCES", "ENOSPC"}}, {"read", {"EIO", "short"}},   {"write", {"ENOSPC", "EDQUOT", "short"}},
        {"close", {"EIO"}},             {"lseek", {"EIO"}},           {"fstat", {"EIO"}},
        {"stat", {"EIO", "EACCES"}},    {"lstat", {"EIO"}},           {"readlink", {"EIO"}},
        {"realpath", {"EIO"}},          {"rename", {"EXDEV"}},        {"unlink", {"EIO"}},
        {"ftruncate", {"EIO"}},         {"posix_fallocate", {"EOPNOTSUPP", "ENOSPC"}},
        {"fchown", {"EPERM"}},          {"fchmod", {"EPERM"}},        {"flock", {"ENOLCK", "EIO"}},
        {"access", {"EIO"}},            {"getrlimit", {"EINVAL"}},    {"fsync", {"EIO"}},
        {"linkat", {"EXDEV", "EPERM"}}, {"fstatfs", {"EIO"}},         {"fsetxattr", {"EPERM"}},
        {"fremovexattr", {"EPERM"}},    {"fgetxattr", {"EIO"}},       {"flistxattr", {"EIO"}},
        {"fstatvfs", {"EIO"}},          {"fpathconf", {"EINVAL"}},    {"fsyncdir", {"EIO"}},
        {"renameat2", {"EINVAL", "EIO"}}, {"fdopendir", {"EIO"}},      {"readdir", {"EIO"}},
        {"closedir", {"EIO"}},
    };
    // Root may write anywhere, so the in-place rewrite (no file can be made beside the output) is
    // tried as nobody. A root run that went wrong could replace the machine's own /dev/stdout, so it
    // gets a /dev of its own.
    const std::string user = root ? nobody : "";
    const std::string closed = "mkdir d && mv old.d64 d && chmod 666 d/old.d64 && chmod 555 d && " + user;
    const std::string reopen = "; s=$?; chmod 755 d; exit $s";
    const std::string owndev = root ? "unshare -m sh -c 'mount -t tmpfs none /dev && ln -s /proc/self/fd /dev/fd && "
                                      "ln -s /proc/self/fd/1 /dev/stdout && exec \"$@\"' sh "
                                    : "";
    const long none = -1;
    struct {
        const char *name;
        std::string script;  // TOOL stands for the tool with the failing call
        std::string output;  // where the old bytes or the new image must be afterwards
        long oldsize;        // of what it held before: none, an image, or not an image
        bool samefile;       // the new image is the scatter of the old one
        bool stream;         // the shell cut the output before the run
        int flushes;         // of the file: after a rename one; in place one, or before and after a cut
        int folderflushes;   // after a rename that replaced a file, or that took away a temporary name
        bool named;          // the unnamed temporary file refused, as FUSE (exFAT, NTFS) refuses it
    } scenarios[] = {
        {"new output", "rm old.d64 && TOOL -i in.d64 -o old.d64", "old.d64", none, false, false, 0, 0, false},
        // Where the new file cannot be linked in, a new output is made in place: nothing of it may stay.
        {"new output in place", "rm old.d64 && FAIL_ALSO=linkat:1 TOOL -i in.d64 -o old.d64", "old.d64", none, false, false, 0,
         0, false},
        {"replace", "TOOL -i in.d64 -o old.d64", "old.d64", imagesize, false, false, 1, 1, false},
        {"same file", "TOOL -i old.d64 -o old.d64", "old.d64", imagesize, true, false, 1, 1, false},
        {"symbolic link", "ln -s old.d64 link.d64 && TOOL -i in.d64 -o link.d64", "old.d64", imagesize, false, false, 1, 1,
         false},
        {"in place, shorter", closed + "TOOL -i in.d64 -o d/old.d64" + reopen, "d/old.d64", 1000, false, false, 1, 0, false},
        {"in place, an image", closed + "TOOL -i in.d64 -o d/old.d64" + reopen, "d/old.d64", imagesize, false, false, 1, 0,
         false},
        {"in place, longer", closed + "TOOL -i in.d64 -o d/old.d64" + reopen, "d/old.d64", 200000, false, false, 2, 0, false},
        {"stream to a file", owndev + "TOOL -i in.d64 -o /dev/stdout > old.d64", "old.d64", imagesize, false, true, 0, 0,
         false},
        {"piped input", "cat in.d64 | TOOL -i /dev/stdin -o old.d64", "old.d64", imagesize, false, false, 1, 1, false},
        // The named temporary file: its name goes with the rename, and the folder is flushed for it.
        {"new output, named", "rm old.d64 && TOOL -i in.d64 -o old.d64", "old.d64", none, false, false, 0, 1, true},
        {"new output, named, no links", "rm old.d64 && FAIL_ALSO=renameat2:22 TOOL -i in.d64 -o old.d64", "old.d64", none,
         false, false, 0, 1, true},
        {"replace, named", "TOOL -i in.d64 -o old.d64", "old.d64", imagesize, false, false, 1, 1, true},
    };
    // The tool and the library, where nobody may run them; the log of the failures made, outside
    // the folder that must not change.
    tempdir tools;
    chmod(tools.path.c_str(), 0777);
    const std::string log = tools.file("fired");
    ASSERT_EQ(run("cp " + shellquote(SCATTERDISK_BIN) + " " + shellquote(tools.file("sd")) + " && cp " +
                  shellquote(SCATTERDISK_FAILCALL) + " " + shellquote(tools.file("failcall.so")))
                  .status,
              0);
    std::mt19937 rng(16);
    int runs = 0;
    for (const auto &sc : scenarios) {
        disk in = chaineddisk(), old(static_cast<size_t>(sc.oldsize > 0 ? sc.oldsize : 1));
        for (auto &b : old)
            b = static_cast<uint8_t>(rng());
        disk fresh = scrambled(sc.samefile ? old : in);
        // Every other file as it is after the scenario's own steps.
        std::map<std::string, std::string> before;
        {
            tempdir dir;
            writefile(dir.file("in.d64"), in);
            writefile(dir.file("old.d64"), old);
            std::string script = sc.script;
            script.replace(script.find("TOOL"), 4, "true");
            runscript(dir, script);
            before = snapshot(dir.path, sc.output);
        }
        auto named = [&](const char *sw) {
            size_t at = sc.script.find(sw) + 3;
            return sc.script.substr(at, sc.script.find_first_of(" ;", at) - at);
        };
        const std::string in_ = named("-i "), out = named("-o ");
        const std::set<std::string> messages = {
            "Failed to open input file '" + in_ + "'\n", "File '" + in_ + "' length != 174848 bytes.\n",
            "Failed to read input file '" + in_ + "'\n", "Failed to open output file '" + out + "'\n",
            "Failed to write output file '" + out + "'\n"};
        for (const auto &[call, errnos] : likely)
            for (const std::string &err : full ? every : errnos) {
                int at = 1;
                for (; at < 64; ++at) {
                    tempdir dir;
                    chmod(dir.path.c_str(), 0755);
                    writefile(dir.file("in.d64"), in);
                    writefile(dir.file("old.d64"), old);
                    unlink(log.c_str());
                    std::string fault = "env LD_PRELOAD=" + tools.file("failcall.so") + (sc.named ? " FAIL_TMPFILE=1" : "") +
                                        " FAIL_CALL=" + call + " FAIL_AT=" + std::to_string(at) +
                                        (err == "short" ? " FAIL_SHORT=1 FAIL_ERRNO=5" : " FAIL_ERRNO=" + std::to_string(errnumber(err))) +
                                        " FAIL_LOG=" + log + " ASAN_OPTIONS=${ASAN_OPTIONS:-}:verify_asan_link_order=0 " + tools.file("sd");
                    std::string script = sc.script;
                    script.replace(script.find("TOOL"), 4, fault);
                    runresult r = runscript(dir, script);
                    if (!exists(log))
                        break;  // no such call left to fail
                    ++runs;
                    std::string what = std::string(sc.name) + ": " + call + " #" + std::to_string(at) + " " + err;
                    disk now = exists(dir.file(sc.output)) ? readfile(dir.file(sc.output)) : disk{};
                    bool whole = now == fresh;
                    bool kept = sc.stream ? std::equal(now.begin(), now.end(), fresh.begin()) && now.size() < fresh.size()
                                          : sc.oldsize == none ? !exists(dir.file(sc.output)) : now == old;
                    EXPECT_EQ(r.out, "") << what;
                    if (r.status == 0) {
                        EXPECT_TRUE(whole) << what;
                        EXPECT_EQ(r.err, "") << what;
                    } else {
                        EXPECT_EQ(r.status, 255) << what;
                        EXPECT_EQ(messages.count(r.err), 1u) << what << ": " << r.err;
                        // A failed close after a whole rewrite in place, and a failed second flush (the
                        // folder's after the rename, the file's after a cut), are the ways to 255
                        // with the new image.
                        bool second = (call == "fsync" && at == 2) || call == "fsyncdir";
                        EXPECT_TRUE(kept || ((call == "close" || second) && whole)) << what << ": " << r.err;
                    }
                    auto after = snapshot(dir.path, sc.output);
                    for (const auto &[name, seen] : after)
                        EXPECT_EQ(before.count(name) ? before.at(name) : "none", seen) << what << ": " << name;
                    for (const auto &[name, seen] : before)
                        EXPECT_TRUE(after.count(name)) << what << ": " << name << " is gone";
                }
                if (call == "fsync") {
                    EXPECT_EQ(at - 1, sc.flushes) << sc.name << ": the file's flushes";
                }
                if (call == "fsyncdir") {
                    EXPECT_EQ(at - 1, sc.folderflushes) << sc.name << ": the folder's flushes";
                }
            }
    }
    EXPECT_GT(runs, 200);
    printf("%d runs with a failed call\n", runs);
#endif
}

TEST(AsRoot, NoRoomLeavesTheOldImageWhole) {
    // A small file system of its own for each case, then filled: no free inode or no free block.
    // Not every system lets the tests mount one. A name too long for the temporary file's sends the
    // run to the in-place rewrite where inodes cannot be counted.
    const std::string script =
        "mkdir m && mount -t $FS m && eval \"$PUT\" && cp \"m/$OUT\" kept.d64 && "
        "(dd if=/dev/zero of=m/fill bs=4k count=400 2>/dev/null; true) && eval \"$TOOL\" -i in.d64 -o '\"m/$OUT\"'; "
        "s=$?; cp \"m/$OUT\" old.d64; umount m; exit $s";
    const std::string plain = "scatterdisk", longname = std::string(240, 'n');
    // Where the system cannot allocate room, the old bytes are written back over themselves.
    const std::string noallocation = "env LD_PRELOAD=$FAILCALL FAIL_CALL=posix_fallocate FAIL_TIMES=0 FAIL_ERRNO=95 scatterdisk";
    const std::string sparse = "cp --sparse=always old.d64 \"m/$OUT\" && fallocate -d \"m/$OUT\"";
    const std::string whole = "cp --sparse=never old.d64 \"m/$OUT\"";
    struct fill {
        const char *name, *fs;
        std::string put, tool, out;  // how the old output is put on the small disk, the run, its name
        int status;
    };
    std::vector<fill> cases = {
        {"no inode, no block", "tmpfs -o size=64k,nr_inodes=3 tmpfs", "head -c 12000 old.d64 > \"m/$OUT\"", plain, "old.d64", 255},
        {"no block, sparse old output", "tmpfs -o size=256k,nr_inodes=8 tmpfs", sparse, plain, "old.d64", 255},
        {"room for one copy, not two", "tmpfs -o size=256k,nr_inodes=8 tmpfs", whole, plain, "old.d64", 0},
        {"no inode, room for the data", "tmpfs -o size=1m,nr_inodes=3 tmpfs", whole, plain, "old.d64", 0},
        {"room for one copy, no allocation", "tmpfs -o size=256k,nr_inodes=8 tmpfs", whole, noallocation, "old.d64", 0},
        {"no block for the holes, no allocation", "tmpfs -o size=256k,nr_inodes=8 tmpfs", sparse, noallocation, "old.d64", 255},
        {"in place on ramfs", "ramfs ramfs", whole, plain, longname, 0},
        {"in place on ramfs, no allocation", "ramfs ramfs", whole, noallocation, longname, 0},
    };
#ifdef SCATTERDISK_FAILCALL
    // A named temporary file that cannot be removed would take the room the rewrite in place
    // needs; Linux's has no name, and is gone with its descriptor.
    cases.push_back({"temporary file that cannot be removed", "tmpfs -o size=256k,nr_inodes=8 tmpfs", whole,
                     "env LD_PRELOAD=$FAILCALL FAIL_CALL=unlink FAIL_TIMES=0 FAIL_ERRNO=5 scatterdisk", "old.d64", 0});
#endif
    for (const auto &c : cases) {
        tempdir dir;
        if (runscript(dir, "mkdir p && mount -t tmpfs tmpfs p && umount p && rmdir p").status != 0)
            GTEST_SKIP() << "tmpfs cannot be mounted here";
        disk old = chaineddisk();
        std::fill(old.begin() + 30000, old.begin() + 100000, 0);  // a run of zeros cp may leave sparse
        std::vector<place> firsts;
        writefile(dir.file("in.d64"), randomchains(3, 5, firsts));
        writefile(dir.file("old.d64"), old);
        runresult r = runscript(dir, script, {{"FS", c.fs}, {"PUT", c.put}, {"TOOL", c.tool}, {"OUT", c.out}});
        EXPECT_EQ(r.status, c.status) << c.name;
        EXPECT_EQ(r.err, c.status == 0 ? "" : "Failed to write output file 'm/" + c.out + "'\n") << c.name;
        disk now = readfile(dir.file("old.d64"));
        EXPECT_TRUE(now == (c.status == 0 ? scrambled(readfile(dir.file("in.d64"))) : readfile(dir.file("kept.d64"))))
            << c.name;
    }
}

TEST(AsRoot, RoomForOneCopyOnXfsIsEnough) {
    if (!root || !haveprogram("mkfs.xfs"))
        GTEST_SKIP() << "needs root and mkfs.xfs to mount a small XFS";
    // XFS answers a full disk to allocating a file that already has every block: with room for
    // the old image and less than one more copy, the run rewrites it in place all the same.
    tempdir dir;
    writefile(dir.file("in.d64"), chaineddisk());
    std::vector<place> firsts;
    writefile(dir.file("old.d64"), randomchains(5, 3, firsts));
    runresult r = runscript(dir, "truncate -s 320M xfs.img && mkfs.xfs -q xfs.img && mkdir m && exec unshare -m sh -ec '"
                                 "mount -o loop,nouuid xfs.img m && cp --sparse=never old.d64 m/old.d64 && sync && "
                                 "free=$(df -B1 --output=avail m | tail -n 1) && fallocate -l $((free - 100 * 1024)) m/fill && "
                                 "df -B1 --output=avail m | tail -n 1 > room && s=0; scatterdisk -i in.d64 -o m/old.d64 || s=$?; "
                                 "cp m/old.d64 out.d64; umount m; exit $s'");
    EXPECT_EQ(r.status, 0) << r.err;
    disk room = readfile(dir.file("room"));
    EXPECT_LT(std::stol(std::string(room.begin(), room.end())), imagesize) << "less than a second copy's room";
    EXPECT_TRUE(readfile(dir.file("out.d64")) == scrambled(chaineddisk()));
}

TEST(AsRoot, NearlyFullCopyOnWriteKeepsTheOldImage) {
    // btrfs writes every block anew, so the room an in-place rewrite secured first is not there
    // when it overwrites: with too little free room the run must refuse before it writes, and the
    // old image must be whole, also once the file system is mounted again.
    if (!root)
        GTEST_SKIP() << "needs root to mount file systems";
    if (!haveprogram("mkfs.btrfs"))
        GTEST_SKIP() << "mkfs.btrfs is missing (btrfs-progs)";
    const std::string script =
        "unshare -m sh -ec 'truncate -s 128M fs.img && mkfs.btrfs -q --mixed fs.img >/dev/null && mkdir m && "
        "mount -o loop fs.img m && cp old.d64 \"m/$OUT\" && head -c $FREE /dev/urandom > m/pad && sync && "
        "{ dd if=/dev/zero of=m/fill bs=4k 2>/dev/null || :; } && sync && rm m/pad && sync && s=0 && "
        "{ scatterdisk -i in.d64 -o \"m/$OUT\" || s=$?; } && umount m && mount -o loop fs.img m && "
        "cp \"m/$OUT\" now.d64 && umount m && exit $s'";
    const std::string longname(240, 'n');
    struct {
        const char *free;
        std::string out;
        int status;
    } cases[] = {
        {"64K", "old.d64", 255}, {"64K", longname, 255}, {"150K", "old.d64", 255},
        {"150K", longname, 255}, {"1M", "old.d64", 255}, {"20M", longname, 0},
    };
    for (const auto &c : cases) {
        tempdir dir;
        std::vector<place> firsts;
        disk old = randomchains(5, 4, firsts);
        writefile(dir.file("in.d64"), chaineddisk());
        writefile(dir.file("old.d64"), old);
        runresult r = runscript(dir, script, {{"FREE", c.free}, {"OUT", c.out}});
        std::string what = std::string(c.free) + " free, a name of " + std::to_string(c.out.size());
        if (r.status != 0 && r.status != 255 &&
            (r.err.find("loop") != std::string::npos || r.err.find("propagation") != std::string::npos))
            GTEST_SKIP() << "no loop device or private mount namespace here: " << r.err;
        EXPECT_EQ(r.status, c.status) << what << ": " << r.err;
        EXPECT_EQ(r.err, c.status == 0 ? "" : "Failed to write output file 'm/" + c.out + "'\n") << what;
        EXPECT_TRUE(readfile(dir.file("now.d64")) == (c.status == 0 ? scrambled(chaineddisk()) : old)) << what;
    }
}

TEST(AsRoot, PowerCutLeavesTheOldImageOrTheNewOne) {
    // A power cut, simulated: a file system on a buffered loop device, whose backing file is copied
    // (what had reached the disk) and mounted so that its log replays. Right after the run; then
    // after another file's fsync, which forces the log that holds the rename (on XFS, without the
    // data it names unless the tool flushed it first).
    if (!root)
        GTEST_SKIP() << "needs root to mount file systems";
    const std::string script =
        "unshare -m sh -ec 'truncate -s 320M disk.img && mkfs.$FS $MKFS disk.img >/dev/null && mkdir m c && "
        "mount -o loop disk.img m && cp old.d64 m/old.d64 && cp in.d64 m/in.d64 && echo x > m/other && sync && "
        "scatterdisk -i m/$IN -o m/old.d64 && cp --sparse=always disk.img now.img && "
        "dd if=/dev/zero of=m/other bs=4k count=1 conv=fsync 2>/dev/null && cp --sparse=always disk.img forced.img && "
        "umount m && for s in now forced; do mount -o loop$OPT $s.img c; cp c/old.d64 $s.d64 || : > $s.d64; "
        "umount c; done'";
    struct {
        const char *fs, *mkfs, *opt, *in;
    } cases[] = {
        {"xfs", "-q", ",nouuid", "in.d64"},
        {"xfs", "-q", ",nouuid", "old.d64"},
        {"ext4", "-q -F", "", "in.d64"},
        {"ext4", "-q -F", "", "old.d64"},
    };
    for (const auto &c : cases) {
        std::string what = std::string(c.fs) + " -i " + c.in;
        if (!haveprogram(std::string("mkfs.") + c.fs))
            GTEST_SKIP() << "mkfs." << c.fs << " is missing (xfsprogs, e2fsprogs)";
        tempdir dir;
        std::vector<place> firsts;
        disk old = randomchains(7, 4, firsts), fresh = scrambled(std::string(c.in) == "in.d64" ? chaineddisk() : old);
        writefile(dir.file("in.d64"), chaineddisk());
        writefile(dir.file("old.d64"), old);
        runresult r = runscript(dir, script, {{"FS", c.fs}, {"MKFS", c.mkfs}, {"OPT", c.opt}, {"IN", c.in}});
        // In a chroot whose root is not a mount point, unshare cannot make the mounts private.
        if (r.status != 0 && (r.err.find("loop") != std::string::npos || r.err.find("propagation") != std::string::npos))
            GTEST_SKIP() << "no loop device or private mount namespace here: " << r.err;
        ASSERT_EQ(r.status, 0) << what << ": " << r.err;
        EXPECT_TRUE(readfile(dir.file("now.d64")) == fresh) << what << ": exit 0 before the image was on the disk";
        disk forced = readfile(dir.file("forced.d64"));
        EXPECT_TRUE(forced == fresh || forced == old) << what << ": " << forced.size() << " bytes after a forced log";
    }
}

TEST(CommandLine, SignalsWaitForTheTemporaryFile) {
#ifndef SCATTERDISK_FAILCALL
    GTEST_SKIP() << "the library that fails calls is not built here (a static or cross build)";
#endif
    // The signal comes from within the run's first write, when the temporary file exists, so no
    // timing is involved; the mode it has then is looked at too, through the run's descriptor where
    // the file has no name. A shell's background jobs ignore
    // SIGQUIT, so env gives it back.
    const std::string script =
        "ulimit -c 0; chmod 640 old.d64; env --default-signal=$SIG LD_PRELOAD=$FAILCALL FAIL_CALL=write FAIL_ERRNO=0 "
        "FAIL_RUN='for f in /proc/$PPID/fd/*; do case $(readlink $f) in \"$PWD\"/.old.d64.scatterdisk-*|\"$PWD/#\"*) "
        "stat -L -c %a $f;; esac; done && kill -$SIG $PPID' scatterdisk -i in.d64 -o old.d64; "
        "echo $?; stat -c %a old.d64";
    const std::pair<const char *, int> signals[] = {{"INT", SIGINT},   {"QUIT", SIGQUIT}, {"TERM", SIGTERM},
                                                    {"HUP", SIGHUP},   {"USR1", SIGUSR1}, {"USR2", SIGUSR2},
                                                    {"ALRM", SIGALRM}, {"PIPE", SIGPIPE}};
    for (const auto &[name, number] : signals) {
        tempdir dir;
        writefile(dir.file("in.d64"), chaineddisk());
        writefile(dir.file("old.d64"), disk(imagesize, 0xa5));
        runresult r = runscript(dir, script, {{"SIG", name}});
        // Private while it is written, then the output's own mode; the signal ends the run after.
        EXPECT_EQ(r.out, "600\n" + std::to_string(128 + number) + "\n640\n") << name;
        EXPECT_TRUE(readfile(dir.file("old.d64")) == scrambled(chaineddisk())) << name;
        EXPECT_EQ(leftovers(dir), std::vector<std::string>{}) << name;
    }
}

TEST(CommandLine, AKilledRunsTemporaryFileGoesWithTheNextRun) {
#ifndef SCATTERDISK_FAILCALL
    GTEST_SKIP() << "the library that fails calls is not built here (a static or cross build)";
#else
    // Where files need names (FUSE: exFAT, NTFS; no /proc), kill -9 leaves the temporary file. The
    // next run at that output removes it; not one a live run holds locked, nor another output's.
    tempdir dir;
    writefile(dir.file("in.d64"), chaineddisk());
    writefile(dir.file("old.d64"), chaineddisk());
    const std::string named = "env LD_PRELOAD=$FAILCALL FAIL_TMPFILE=1 ";
    runresult killed = runscript(dir, named + "FAIL_CALL=write FAIL_ERRNO=0 FAIL_RUN='kill -9 $PPID' scatterdisk -i in.d64 "
                                          "-o old.d64; touch .old.d64.scatterdisk-live1 .other.d64.scatterdisk-abcdef");
    std::vector<std::string> left = leftovers(dir);
    ASSERT_EQ(left.size(), 3u) << "kill -9 leaves the named temporary file";
    runresult next = runscript(dir, "flock .old.d64.scatterdisk-live1 sleep 2 & sleep 0.3; " + named +
                                        "scatterdisk -i in.d64 -o old.d64; s=$?; wait; exit $s");
    EXPECT_EQ(next.status, 0) << next.err;
    left = leftovers(dir);
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{".old.d64.scatterdisk-live1", ".other.d64.scatterdisk-abcdef"}));
    EXPECT_TRUE(readfile(dir.file("old.d64")) == scrambled(chaineddisk()));
#endif
}

TEST(CommandLine, KilledRunsLeaveTheOldImageOrTheNewOne) {
    tempdir dir;
    std::string in = dir.file("in.d64"), out = dir.file("out.d64");
    disk old(imagesize, 0xa5), scattered = scrambled(chaineddisk());
    writefile(in, chaineddisk());
    auto start = [&] {
        pid_t pid = fork();
        if (pid == 0) {
            execl(SCATTERDISK_BIN, SCATTERDISK_BIN, "-i", in.c_str(), "-o", out.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        return pid;
    };
    // Kill times spread over a whole run, however fast this build is. The
    // runs are timed as they are killed: over an existing output, which is
    // flushed before it is replaced and so takes longer than a first write;
    // the slowest of three, for a shared machine's noise.
    int status = 0;
    long long whole = 0;
    for (int i = 0; i < 3; ++i) {
        writefile(out, old);
        auto t0 = std::chrono::steady_clock::now();
        waitpid(start(), &status, 0);
        whole = std::max<long long>(
            whole, std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0).count());
    }
    std::mt19937 rng(17);
    int finished = 0, killed = 0;
    for (int i = 0; i < 300; ++i) {
        writefile(out, old);
        pid_t pid = start();
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % static_cast<uint32_t>(whole + whole / 2 + 1)));
        int sig = i % 2 ? SIGKILL : SIGTERM;
        kill(pid, sig);
        waitpid(pid, &status, 0);
        (WIFSIGNALED(status) ? killed : finished) += 1;
        disk got = readfile(out);
        ASSERT_TRUE(got == old || got == scattered) << "run " << i << " left a damaged output";
        std::vector<std::string> left = leftovers(dir);
        if (sig == SIGTERM) {
            ASSERT_EQ(left, std::vector<std::string>{}) << "run " << i;
        }
        for (const std::string &name : left) {
            EXPECT_EQ(name.rfind(".out.d64.scatterdisk-", 0), 0u) << name;
            unlink(dir.file(name).c_str());
        }
    }
    EXPECT_GT(killed, 0) << finished << " runs finished";
    EXPECT_GT(finished, 0) << killed << " runs were killed first";
}

}  // namespace
