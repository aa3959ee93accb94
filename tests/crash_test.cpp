// Power cuts explored block by block. A run of the tool is made on a file system whose loop device
// lies on blockrecorder, which logs every write and flush that reaches the device. From the log
// come the states a power cut could leave: every prefix of the run's writes, and within each span
// between two flushes, subsets and reorderings of its writes on top of what was flushed before.
// Each state is mounted, so that its journal replays, and what the output holds is judged against
// what the tool promises on that path.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "testdisk.h"

namespace {

// Only where the recorder and the failed-call library are built (native Linux builds).
#if defined(SCATTERDISK_RECORDER) && defined(SCATTERDISK_FAILCALL)

struct record {
    char type;  // 'W' a write, 'F' a flush, 'M' a mark
    uint64_t off;
    uint32_t len;
    size_t data;  // where the written bytes start in the log
};

std::vector<record> parselog(const disk &log) {
    std::vector<record> recs;
    for (size_t at = 0; at + 16 <= log.size();) {
        record r{static_cast<char>(log[at]), 0, 0, at + 16};
        for (int i = 0; i < 4; ++i)
            r.len |= static_cast<uint32_t>(log[at + 4 + static_cast<size_t>(i)]) << (8 * i);
        for (int i = 0; i < 8; ++i)
            r.off |= static_cast<uint64_t>(log[at + 8 + static_cast<size_t>(i)]) << (8 * i);
        at += 16 + (r.type == 'W' ? r.len : 0);
        if (at > log.size())
            break;  // a record the recorder did not finish
        // A device writes a request block by block, and a cut may fall between any two: each 4 KiB
        // of a write is a write of its own here.
        for (uint32_t done = 0; r.type == 'W' && r.len - done > 4096; done += 4096)
            recs.push_back({'W', r.off + done, 4096, r.data + done});
        if (r.type == 'W' && r.len > 4096) {
            uint32_t whole = (r.len - 1) / 4096 * 4096;
            r = {'W', r.off + whole, r.len - whole, r.data + whole};
        }
        recs.push_back(r);
    }
    return recs;
}

// One state a power cut could leave: the writes applied after the checkpoint, in order, and the
// record the cut came before (what decides whether the run had exited by then).
struct crashstate {
    std::string name;  // how to rebuild it
    std::vector<size_t> writes;
    size_t point;
};

bool overlap(const record &a, const record &b) { return a.off < b.off + b.len && b.off < a.off + a.len; }

// Every prefix of the records from `from` on; per span between flushes, every subset of up to 8
// writes, else each write left out alone and each write alone, and random subsets; random orders
// of a span whose writes overlap. Past `cap`, a fixed sample of them.
std::vector<crashstate> crashstates(const std::vector<record> &recs, size_t from, size_t cap) {
    std::vector<crashstate> prefixes, others;
    std::vector<size_t> done;  // the writes before the current span, all flushed
    std::vector<size_t> span;
    std::mt19937 rng(1541);
    auto spanstates = [&](size_t point) {
        const size_t k = span.size();
        auto add = [&](const std::string &how, const std::vector<size_t> &chosen) {
            crashstate st{"span ending at record " + std::to_string(point) + ", " + how, done, point};
            st.writes.insert(st.writes.end(), chosen.begin(), chosen.end());
            others.push_back(st);
        };
        auto subset = [&](uint64_t bits) {
            std::vector<size_t> chosen;
            std::string named;
            for (size_t i = 0; i < k; ++i)
                if (bits >> i & 1) {
                    chosen.push_back(span[i]);
                    named += " " + std::to_string(span[i]);
                }
            // A subset that is a prefix of the span is a prefix state already.
            if ((bits & (bits + 1)) != 0)
                add("writes" + named, chosen);
        };
        if (k >= 2 && k <= 8) {
            for (uint64_t bits = 1; bits < (uint64_t{1} << k) - 1; ++bits)
                subset(bits);
        } else if (k > 8) {
            for (size_t i = 0; i < k; ++i) {
                subset(((uint64_t{1} << std::min<size_t>(k, 63)) - 1) & ~(uint64_t{1} << i));
                subset(uint64_t{1} << i);
            }
            for (int n = 0; n < 16; ++n)
                subset(static_cast<uint64_t>(rng()) | static_cast<uint64_t>(rng()) << 32);
        }
        bool overlaps = false;
        for (size_t i = 0; i < k; ++i)
            for (size_t j = i + 1; j < k; ++j)
                overlaps = overlaps || overlap(recs[span[i]], recs[span[j]]);
        for (int n = 0; overlaps && n < 4; ++n) {
            std::vector<size_t> order = span;
            std::shuffle(order.begin(), order.end(), rng);
            std::string named;
            for (size_t w : order)
                named += " " + std::to_string(w);
            add("in the order" + named, order);
        }
    };
    std::vector<size_t> applied;
    for (size_t i = from; i <= recs.size(); ++i) {
        if (i == recs.size() || recs[i].type == 'F') {
            spanstates(i);
            done.insert(done.end(), span.begin(), span.end());
            span.clear();
        }
        if (i == recs.size())
            break;
        if (recs[i].type == 'W') {
            span.push_back(i);
            applied.push_back(i);
            prefixes.push_back({"every write up to record " + std::to_string(i), applied, i + 1});
        }
    }
    prefixes.insert(prefixes.begin(), {"nothing of the run", {}, from});
    std::vector<crashstate> out;
    auto sample = [&](std::vector<crashstate> &from_, size_t n) {
        if (from_.size() <= n) {
            out.insert(out.end(), from_.begin(), from_.end());
            return;
        }
        // Evenly over the prefixes, so that the first and the last are always in.
        for (size_t i = 0; i < n; ++i)
            out.push_back(from_[n == 1 ? 0 : i * (from_.size() - 1) / (n - 1)]);
    };
    size_t forprefixes = std::min(prefixes.size(), std::max(cap / 2, cap - std::min(cap, others.size())));
    sample(prefixes, forprefixes);
    std::shuffle(others.begin(), others.end(), rng);
    sample(others, cap - forprefixes);
    return out;
}

bool writeat(int fd, const uint8_t *data, size_t n, off_t at) {
    while (n > 0) {
        ssize_t put = pwrite(fd, data, n, at);
        if (put <= 0)
            return false;
        data += put, n -= static_cast<size_t>(put), at += put;
    }
    return true;
}

// A copy of a sparse file that copies only its data, so that a state costs what the file system
// holds, not what the device is long.
bool sparsecopy(const std::string &from, const std::string &to) {
    int in = open(from.c_str(), O_RDONLY), out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    struct stat st;
    bool ok = in >= 0 && out >= 0 && fstat(in, &st) == 0 && ftruncate(out, st.st_size) == 0;
    std::vector<uint8_t> buf(1 << 20);
    for (off_t at = 0; ok;) {
        off_t data = lseek(in, at, SEEK_DATA);
        if (data < 0)
            break;
        off_t hole = lseek(in, data, SEEK_HOLE);
        for (off_t p = data; ok && p < hole;) {
            ssize_t got = pread(in, buf.data(), std::min<size_t>(buf.size(), static_cast<size_t>(hole - p)), p);
            ok = got > 0 && writeat(out, buf.data(), static_cast<size_t>(got), p);
            p += got;
        }
        at = hole;
    }
    if (in >= 0)
        close(in);
    return out >= 0 && close(out) == 0 && ok;
}

// The disk as it stood when the run started: the log's writes before it, on a sparse file whose
// blocks of zeros are left as holes.
bool checkpoint(const disk &log, const std::vector<record> &recs, size_t upto, uint64_t size, const std::string &path) {
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    bool ok = fd >= 0 && ftruncate(fd, static_cast<off_t>(size)) == 0;
    for (size_t i = 0; ok && i < upto; ++i)
        if (recs[i].type == 'W')
            ok = writeat(fd, log.data() + recs[i].data, recs[i].len, static_cast<off_t>(recs[i].off));
    static const uint8_t zeros[4096] = {};
    std::vector<uint8_t> block(4096);
    for (off_t at = 0; ok && at < static_cast<off_t>(size); at += 4096)
        if (pread(fd, block.data(), 4096, at) == 4096 && memcmp(block.data(), zeros, 4096) == 0)
            fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, at, 4096);
    return fd >= 0 && close(fd) == 0 && ok;
}

// What a state holds at the output's name, beside the old and the new image.
enum class holds { missing, empty, zeros, old, fresh, another, mix, other };

const char *holdsname(holds h) {
    const char *names[] = {"missing", "empty", "zeros", "old", "new", "the other program's", "a mix of old and new", "other"};
    return names[static_cast<int>(h)];
}

holds judge(bool present, const disk &now, const disk &old, const disk &fresh, const disk &another) {
    if (!present)
        return holds::missing;
    if (now.empty())
        return holds::empty;
    if (now == old)
        return holds::old;
    if (std::all_of(now.begin(), now.end(), [](uint8_t b) { return b == 0; }))
        return holds::zeros;
    if (now == fresh)
        return holds::fresh;
    if (!another.empty() && now == another)
        return holds::another;
    // In place, byte by byte the old one or the new one; past the image what the old one held, or
    // zeros where the cut to the image's length cleared the rest of its last block before the new
    // length reached the disk.
    if (now.size() == std::max(old.size(), fresh.size())) {
        bool each = true;
        for (size_t i = 0; each && i < now.size(); ++i)
            each = (i < old.size() && now[i] == old[i]) || (i < fresh.size() && now[i] == fresh[i]) ||
                   (i >= fresh.size() && now[i] == 0);
        if (each)
            return holds::mix;
    }
    return holds::other;
}

// Where an output first holds a byte of neither image, for the message.
std::string neither(const disk &now, const disk &old, const disk &fresh) {
    if (!now.empty() && std::all_of(now.begin(), now.end(), [](uint8_t b) { return b == 0; }))
        return ", all zeros";
    for (size_t i = 0; i < now.size(); ++i)
        if (!(i < old.size() && now[i] == old[i]) && !(i < fresh.size() && now[i] == fresh[i]))
            return ", the first byte of neither image at " + std::to_string(i);
    return "";
}

struct filesystem {
    const char *name, *mkfs, *mountopts;
    uint64_t size;
};

const filesystem filesystems[] = {
    {"xfs", "-q", ",nouuid", 320u << 20},
    {"ext4", "-q -F -J size=1 -E lazy_itable_init=0,lazy_journal_init=0", "", 64u << 20},
    {"btrfs", "-q --mixed", "", 128u << 20},
};

const std::string longname(240, 'n');

struct crashcase {
    const char *name;
    std::string setup;  // run in the scratch folder with the file system at m/; in.d64, old.d64, other.d64 beside
    std::string run;    // the tool's run, as TOOL
    std::string output; // the output's path below m/
    bool hasold;        // the output held old.d64 (oldlong.d64 where `longer`) before the run
    bool samefile;      // the new image is the scatter of old.d64
    bool durable;       // after exit 0 the new image must be on the disk
    bool fromanother;   // another program puts other.d64 at the name during the run
    bool inplace;       // old and new may mix before the run exits
    bool longer = false;
    bool named = false; // the unnamed temporary file refused (FUSE: exFAT, NTFS): a name of its own
};

std::vector<crashcase> crashcases() {
    const std::string nobody = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
    return {
        {"a replaced output", "cp in.d64 old.d64 m/", "TOOL -i m/in.d64 -o m/old.d64", "old.d64", true, false, true, false, false},
        {"input = output", "cp old.d64 m/", "TOOL -i m/old.d64 -o m/old.d64", "old.d64", true, true, true, false, false},
        {"a new output", "cp in.d64 m/", "TOOL -i m/in.d64 -o m/new.d64", "new.d64", false, false, false, false, false},
        {"in place, a 240-character name", "cp in.d64 m/ && cp old.d64 m/" + longname,
         "TOOL -i m/in.d64 -o m/" + longname, longname, true, false, true, false, true},
        {"in place, an old file longer than an image", "cp in.d64 m/ && cp oldlong.d64 m/" + longname,
         "TOOL -i m/in.d64 -o m/" + longname, longname, true, false, true, false, true, true},
        {"a folder the user may write but not read",
         "mkdir m/d && cp in.d64 m/ && cp old.d64 m/d/ && chmod 666 m/d/old.d64 && chmod 333 m/d",
         nobody + "TOOL -i m/in.d64 -o m/d/old.d64", "d/old.d64", true, false, true, false, false},
        {"a second writer during a new output's run", "cp in.d64 other.d64 m/",
         "env LD_PRELOAD=$FAILCALL FAIL_CALL=linkat FAIL_ERRNO=0 FAIL_RUN='cp m/other.d64 m/new.d64 && sync' TOOL "
         "-i m/in.d64 -o m/new.d64",
         "new.d64", false, false, true, true, false},
        // The same on the named temporary file's path.
        {"a replaced output, named", "cp in.d64 old.d64 m/", "env LD_PRELOAD=$FAILCALL FAIL_TMPFILE=1 TOOL -i m/in.d64 -o m/old.d64",
         "old.d64", true, false, true, false, false, false, true},
        {"a new output, named", "cp in.d64 m/", "env LD_PRELOAD=$FAILCALL FAIL_TMPFILE=1 TOOL -i m/in.d64 -o m/new.d64",
         "new.d64", false, false, false, false, false, false, true},
        {"a second writer during a new output's run, named", "cp in.d64 other.d64 m/",
         "env LD_PRELOAD=$FAILCALL FAIL_TMPFILE=1 FAIL_CALL=renameat2 FAIL_ERRNO=0 FAIL_RUN='cp m/other.d64 m/new.d64 && "
         "sync' TOOL -i m/in.d64 -o m/new.d64",
         "new.d64", false, false, true, true, false, false, true},
    };
}

// The steps that need a mount namespace of their own.
const std::string crashrun = shellquote(SCATTERDISK_SOURCE "/tests/crashrun.sh");

runresult shell(const tempdir &dir, const std::string &script, const std::vector<std::pair<std::string, std::string>> &vars) {
    std::string set;
    for (const auto &[name, value] : vars)
        set += name + "=" + shellquote(value) + "; export " + name + "; ";
    return run("cd " + shellquote(dir.path) + " && " + set + "(" + script + ")");
}

#endif

TEST(AsRoot, CrashStatesHoldTheOldImageOrTheNewOne) {
#if !defined(SCATTERDISK_RECORDER) || !defined(SCATTERDISK_FAILCALL)
    GTEST_SKIP() << "the block recorder or the failed-call library is not built here (libfuse3-dev; a static or cross build)";
#else
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to mount file systems";
    // SCATTERDISK_CRASH_TOOL runs the cases against another build; SCATTERDISK_CRASH_STATES bounds
    // the states a case (default 200).
    const char *othertool = getenv("SCATTERDISK_CRASH_TOOL"), *bound = getenv("SCATTERDISK_CRASH_STATES");
    const std::string tool = othertool != nullptr ? othertool : SCATTERDISK_BIN;
    const size_t cap = bound != nullptr ? static_cast<size_t>(atol(bound)) : 200;
    // State images live in memory: each is a copy of what the file system holds.
    tempdir states;
    std::string room = states.path;
    if (run("test -d /dev/shm && test -w /dev/shm").status == 0) {
        char shm[] = "/dev/shm/scatterdisk-crash-XXXXXX";
        if (mkdtemp(shm) != nullptr)
            room = shm;
    }
    std::vector<uint8_t> in = chaineddisk();
    std::vector<place> firsts;
    std::vector<uint8_t> old = randomchains(11, 6, firsts), another = randomchains(12, 3, firsts);
    std::map<std::string, std::string> table;
    int failures = 0;
    for (const filesystem &fs : filesystems) {
        if (!haveprogram(std::string("mkfs.") + fs.name)) {
            ADD_FAILURE() << "mkfs." << fs.name << " is missing (xfsprogs, e2fsprogs, btrfs-progs)";
            continue;
        }
        for (const crashcase &c : crashcases()) {
            std::string what = std::string(fs.name) + ", " + c.name;
            tempdir dir;
            chmod(dir.path.c_str(), 0755);
            writefile(dir.file("in.d64"), in);
            writefile(dir.file("old.d64"), old);
            writefile(dir.file("other.d64"), another);
            disk oldlong = old;
            oldlong.resize(200000, 0x5a);
            writefile(dir.file("oldlong.d64"), oldlong);
            std::string runline = c.run;
            runline.replace(runline.find("TOOL"), 4, shellquote(tool));
            runresult r = shell(dir, crashrun + " record",
                                {{"RECORDER", SCATTERDISK_RECORDER}, {"FAILCALL", SCATTERDISK_FAILCALL},
                                 {"SIZE", std::to_string(fs.size)}, {"FS", fs.name}, {"MKFS", fs.mkfs},
                                 {"SETUP", c.setup}, {"RUN", runline}});
            if (r.status != 0 && (r.err.find("propagation") != std::string::npos || r.err.find("fuse") != std::string::npos ||
                                  r.err.find("loop") != std::string::npos))
                GTEST_SKIP() << "no private mount namespace, FUSE or loop device here: " << r.err;
            ASSERT_EQ(r.status, 0) << what << ": " << r.err;
            disk log = readfile(dir.file("rec.log"));
            std::vector<record> recs = parselog(log);
            size_t start = recs.size(), exited = recs.size();
            int status = -1;
            for (size_t i = 0; i < recs.size(); ++i) {
                if (recs[i].type == 'M' && recs[i].off == 1)
                    start = i;
                if (recs[i].type == 'M' && recs[i].off >= 1000 && exited == recs.size()) {
                    exited = i;
                    status = static_cast<int>(recs[i].off - 1000);
                }
            }
            ASSERT_LT(exited, recs.size()) << what << ": the log has no run";
            EXPECT_EQ(status, 0) << what << ": the run failed";
            const std::string base = room + "/checkpoint.img", state = room + "/state.img";
            ASSERT_TRUE(checkpoint(log, recs, start, fs.size, base)) << what;
            disk fresh = scrambled(c.samefile ? old : in);
            std::map<std::string, int> seen;
            int left = 0;
            std::vector<crashstate> all = crashstates(recs, start + 1, cap);
            for (const crashstate &st : all) {
                ASSERT_TRUE(sparsecopy(base, state)) << what;
                int fd = open(state.c_str(), O_WRONLY);
                for (size_t w : st.writes)
                    writeat(fd, log.data() + recs[w].data, recs[w].len, static_cast<off_t>(recs[w].off));
                close(fd);
                runresult m = shell(dir, crashrun + " state", {{"STATE", state}, {"OPT", fs.mountopts}, {"OUT", c.output}});
                std::string rebuild = "SCATTERDISK_CRASH_STATES=" + std::to_string(cap) + ", " + what + ", state \"" +
                                      st.name + "\"";
                if (m.status != 0) {
                    ++seen["unmountable"];
                    ADD_FAILURE() << rebuild << ": does not mount: " << m.err;
                    ++failures;
                    continue;
                }
                bool present = access(dir.file("out.bin").c_str(), F_OK) == 0;
                disk now = present ? readfile(dir.file("out.bin")) : disk{};
                holds h = judge(present, now, c.hasold ? (c.longer ? oldlong : old) : disk{}, fresh,
                                c.fromanother ? another : disk{});
                bool after = st.point > exited && status == 0;
                std::set<holds> allowed = {holds::fresh};
                if (!after || !c.durable) {
                    allowed.insert(c.hasold ? holds::old : holds::missing);
                    if (c.inplace)
                        allowed.insert(holds::mix);
                    if (c.fromanother)
                        allowed.insert(holds::another);
                }
                // A new output is not forced to the disk: a cut may leave its name without its data,
                // as an empty file or one of zeros (ext4).
                if (!c.hasold && !c.fromanother) {
                    allowed.insert(holds::empty);
                    allowed.insert(holds::zeros);
                }
                disk list = readfile(dir.file("list"));
                std::string listing(list.begin(), list.end());
                bool temp = listing.find(".scatterdisk-") != std::string::npos;
                left += temp;
                // A new output's file never has a name of its own, nor does an in-place run make one;
                // replacing, it has one for the moment before the rename. A named one is gone
                // from every state after exit 0.
                if (temp && (c.named ? after : (!c.hasold && !c.fromanother) || c.inplace)) {
                    ++failures;
                    ADD_FAILURE() << rebuild << ": a temporary file is left";
                }
                ++seen[std::string(after ? "after exit: " : "before exit: ") + holdsname(h)];
                if (allowed.count(h) == 0) {
                    ++failures;
                    ADD_FAILURE() << rebuild << (after ? ", after exit 0" : ", before exit") << ": the output holds "
                                  << holdsname(h) << " (" << now.size() << " bytes" << neither(now, c.longer ? oldlong : old, fresh)
                                  << ")";
                }
            }
            std::string row = std::to_string(all.size()) + " states:";
            for (const auto &[k, n] : seen)
                row += " " + k + " " + std::to_string(n) + ";";
            row += " a temporary file left in " + std::to_string(left);
            table[what] = row;
        }
    }
    for (const auto &[what, row] : table)
        printf("%s: %s\n", what.c_str(), row.c_str());
    if (room != states.path)
        run("rm -rf " + shellquote(room));
    EXPECT_EQ(failures, 0);
#endif
}

}  // namespace
