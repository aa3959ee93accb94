// The command line, driven through the built program as a user drives it.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>

#include <chrono>
#include <random>
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
    size_t bam = sectoroffset({dirtrack, 0}), dir = sectoroffset({dirtrack, 1});
    for (int32_t t = 31; t <= numtracks; ++t)
        for (int32_t s = 0; s < tracksecs[static_cast<size_t>(t)]; ++s)
            d[bam + static_cast<size_t>(4 * t + 1 + (s >> 3))] |= static_cast<uint8_t>(1 << (s & 7));
    d[dir + 1] = 255;
    d[dir + 2] = 0x82;
    d[dir + 3] = 10;
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
    };
    for (const auto &c : cases) {
        tempdir dir;
        writefile(dir.file("in.d64"), c.in);
        ASSERT_EQ(runin(dir, "-i in.d64 -o out.d64").status, 0);
        EXPECT_EQ(run("sha256sum " + shellquote(dir.file("in.d64"))).out.substr(0, 64), c.insha);
        EXPECT_EQ(run("sha256sum " + shellquote(dir.file("out.d64"))).out.substr(0, 64), c.outsha);
    }
}

// Runs a shell script in a scratch folder holding in.d64 (a chained disk) and old.d64 (another),
// with BIN standing for the tool.
runresult runscript(const tempdir &dir, std::string script) {
    for (size_t at; (at = script.find("BIN")) != std::string::npos;)
        script.replace(at, 3, shellquote(SCATTERDISK_BIN));
    return run("cd " + shellquote(dir.path) + " && (" + script + ")");
}

TEST(CommandLine, OutputHoldsTheOldImageOrTheWholeNewOne) {
    // Root may write any file, so refusals are tried as nobody, from a copy of the tool that
    // nobody may run wherever the build lies. Some cases need root to set owners and groups.
    const bool root = geteuid() == 0;
    const std::string tool = "cp BIN sd && chmod 755 sd && ";
    const std::string prepare = root ? "chmod 777 . && " + tool : "";
    const std::string asuser = root ? "setpriv --reuid=65534 --regid=65534 --clear-groups ./sd" : "BIN";
    const std::string closed = "mkdir d && mv old.d64 d && chmod 666 d/old.d64 && chmod 555 d && ";
    const std::string reopen = "; s=$?; chmod 755 d && mv d/old.d64 . && exit $s";
    enum afterwards { oldkept, newwritten, cut };
    struct {
        const char *name;
        std::string script;
        int status;
        std::string out, err;
        afterwards old;  // what old.d64 holds afterwards: what it held, the scatter of in.d64, or a part
        bool needsroot;
    } cases[] = {
        {"write cut short in place", "(ulimit -f 100; trap '' XFSZ; BIN -i old.d64 -o old.d64)", 255, "",
         "Failed to write output file 'old.d64'\n", oldkept, false},
        {"file-size limit in place", prepare + closed + "(ulimit -f 100; " + asuser + " -i in.d64 -o d/old.d64)" + reopen, 255,
         "", "Failed to write output file 'd/old.d64'\n", oldkept, false},
        {"file-size limit on a stream", "(ulimit -f 100; BIN -i in.d64 -o /dev/stdout > old.d64)", 255, "",
         "Failed to write output file '/dev/stdout'\n", cut, false},
        {"symbolic link", "ln -s old.d64 link.d64 && BIN -i in.d64 -o link.d64 && test -L link.d64", 0, "", "",
         newwritten, false},
        {"dangling symbolic link", "rm old.d64 && ln -s old.d64 link.d64 && BIN -i in.d64 -o link.d64 && test -L link.d64",
         0, "", "", newwritten, false},
        {"stream redirected to a file", "BIN -i in.d64 -o /dev/stdout > old.d64", 0, "", "", newwritten, false},
        {"caller's descriptor", "BIN -i in.d64 -o /dev/fd/3 3> old.d64", 0, "", "", newwritten, false},
        {"piped input", "cat in.d64 | BIN -i /dev/stdin -o old.d64", 0, "", "", newwritten, false},
        {"short piped input", "head -c 1000 in.d64 | BIN -i /dev/stdin -o old.d64", 255, "",
         "File '/dev/stdin' length != 174848 bytes.\n", oldkept, false},
        {"piped input a byte long", "(cat in.d64; echo) | BIN -i /dev/stdin -o old.d64", 255, "",
         "File '/dev/stdin' length != 174848 bytes.\n", oldkept, false},
        {"permission bits kept", "chmod 604 old.d64 && BIN -i in.d64 -o old.d64 && stat -c %a old.d64", 0, "604\n", "",
         newwritten, false},
        {"new file takes the umask", "rm old.d64 && umask 027 && BIN -i in.d64 -o old.d64 && stat -c %a old.d64", 0,
         "640\n", "", newwritten, false},
        {"read-only file refused", "chmod 444 old.d64 && " + prepare + asuser + " -i in.d64 -o old.d64", 255, "",
         "Failed to open output file 'old.d64'\n", oldkept, false},
        {"folder closed, file open", prepare + closed + asuser + " -i in.d64 -o d/old.d64" + reopen, 0, "", "", newwritten, false},
        {"owner and group kept", "chown 1000:1234 old.d64 && chmod 664 old.d64 && BIN -i in.d64 -o old.d64 && "
                                 "stat -c '%u %g %a' old.d64", 0, "1000 1234 664\n", "", newwritten, true},
        // A member of the file's group replaces a colleague's file in a shared folder.
        {"group kept where the owner cannot be", "chown 1000:1234 old.d64 && chmod 664 old.d64 && chgrp 1234 . && "
         "chmod 775 . && " + tool + "setpriv --reuid=65534 --regid=65534 --groups=1234 ./sd -i in.d64 -o old.d64 && "
         "stat -c '%u %g %a' old.d64", 0, "65534 1234 664\n", "", newwritten, true},
    };
    for (const auto &c : cases) {
        if (c.needsroot && !root) {
            printf("skipped as a user, needs root: %s\n", c.name);
            continue;
        }
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
        if (c.old == cut)
            EXPECT_TRUE(now.size() < scattered.size() && std::equal(now.begin(), now.end(), scattered.begin())) << c.name;
        else
            EXPECT_TRUE(now == (c.old == newwritten ? scattered : old)) << c.name;
        EXPECT_EQ(leftovers(dir), std::vector<std::string>{}) << c.name;
    }
}

TEST(CommandLine, NoRoomLeavesTheOldImageWhole) {
    // A small tmpfs of its own for each case: no free inode or no free block. Not every system
    // lets the tests mount one.
    const std::string mountit = "mkdir m && mount -t tmpfs -o size=SIZE,nr_inodes=INODES tmpfs m && ";
    const std::string fill = " && (dd if=/dev/zero of=m/fill bs=4k count=400 2>/dev/null; true) && ";
    const std::string after = "; s=$?; cp m/old.d64 old.d64; umount m; exit $s";
    struct {
        const char *name, *size, *inodes, *old;  // how the old output is put on the small disk
        int status;
        std::string err;
        bool newwritten;
    } cases[] = {
        {"no inode, no block", "64k", "3", "head -c 12000 old.d64 > m/old.d64", 255,
         "Failed to write output file 'm/old.d64'\n", false},
        {"no block, sparse old output", "256k", "8", "cp --sparse=always old.d64 m/old.d64 && fallocate -d m/old.d64",
         255, "Failed to write output file 'm/old.d64'\n", false},
        {"room for one copy, not two", "256k", "8", "cp --sparse=never old.d64 m/old.d64", 0, "", true},
        {"no inode, room for the data", "1m", "3", "cp old.d64 m/old.d64", 0, "", true},
    };
    for (const auto &c : cases) {
        tempdir dir;
        if (runscript(dir, "mkdir p && mount -t tmpfs tmpfs p && umount p && rmdir p").status != 0)
            GTEST_SKIP() << "tmpfs cannot be mounted here";
        disk old = chaineddisk();
        std::fill(old.begin() + 30000, old.begin() + 100000, 0);  // a run of zeros cp may leave sparse
        std::vector<place> firsts;
        writefile(dir.file("in.d64"), randomchains(3, 5, firsts));
        writefile(dir.file("old.d64"), old);
        std::string mount = mountit;
        mount.replace(mount.find("SIZE"), 4, c.size);
        mount.replace(mount.find("INODES"), 6, c.inodes);
        runresult r = runscript(dir, mount + c.old + " && cp m/old.d64 kept.d64" + fill + "BIN -i in.d64 -o m/old.d64" + after);
        EXPECT_EQ(r.status, c.status) << c.name;
        EXPECT_EQ(r.err, c.err) << c.name;
        disk now = readfile(dir.file("old.d64"));
        EXPECT_TRUE(now == (c.newwritten ? scrambled(readfile(dir.file("in.d64"))) : readfile(dir.file("kept.d64"))))
            << c.name;
    }
}

TEST(CommandLine, SignalsWaitForTheTemporaryFile) {
    // The write is held up by strace, so that the temporary file can be looked at and the signal
    // sent while it exists. A shell's background jobs ignore SIGQUIT, so env gives it back.
    if (!haveprogram("strace"))
        GTEST_SKIP() << "strace is not installed";
    const std::string script =
        "ulimit -c 0; chmod 640 old.d64; strace -f -o /dev/null -e trace=write -e inject=write:delay_enter=400000 "
        "env --default-signal=SIG BIN -i in.d64 -o old.d64 & p=$!; "
        "for i in $(seq 500); do t=$(ls -A | grep scatterdisk-) && break; sleep 0.01; done; "
        "stat -c %a \"$t\"; kill -SIG $(pgrep -P $p); wait $p; echo $?; stat -c %a old.d64";
    const std::pair<const char *, int> signals[] = {{"QUIT", SIGQUIT}, {"USR1", SIGUSR1}, {"USR2", SIGUSR2},
                                                    {"ALRM", SIGALRM}};
    for (const auto &[name, number] : signals) {
        tempdir dir;
        writefile(dir.file("in.d64"), chaineddisk());
        writefile(dir.file("old.d64"), disk(imagesize, 0xa5));
        std::string named = script;
        for (size_t at; (at = named.find("SIG ")) != std::string::npos;)
            named.replace(at, 3, name);
        runresult r = runscript(dir, named);
        // Private while it is written, then the output's own mode; the signal ends the run after.
        EXPECT_EQ(r.out, "600\n" + std::to_string(128 + number) + "\n640\n") << name;
        EXPECT_TRUE(readfile(dir.file("old.d64")) == scrambled(chaineddisk())) << name;
        EXPECT_EQ(leftovers(dir), std::vector<std::string>{}) << name;
    }
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
    // Kill times spread over a whole run, however fast this build is.
    auto t0 = std::chrono::steady_clock::now();
    int status = 0;
    waitpid(start(), &status, 0);
    auto whole = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0).count();
    std::mt19937 rng(17);
    int finished = 0, killed = 0;
    for (int i = 0; i < 300; ++i) {
        writefile(out, old);
        pid_t pid = start();
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % static_cast<uint32_t>(whole + whole / 4 + 1)));
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
    EXPECT_GT(killed, 0);
    EXPECT_GT(finished, 0);
}

}  // namespace
