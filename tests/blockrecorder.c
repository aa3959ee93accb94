/* A file system of one file, disk.img, kept in a backing file, that records in order every write
 * and every flush that reaches it, for the crash-state test: a loop device over disk.img then
 * shows exactly what a file system on it sent towards the disk, and when it asked for it to be
 * durable. Writing a number to the file "mark" records a mark, so that the test can tell what came
 * before and after a step of its own.
 *   blockrecorder MOUNTPOINT BACKING LOG SIZE
 * The log is a sequence of records: type ('W' a write, 'F' a flush, 'M' a mark), three zero bytes,
 * a 32-bit length and a 64-bit offset (the mark's number for 'M'), little-endian, and for 'W' the
 * bytes written. Requests are served one at a time (-s), so the log's order is the order the
 * requests completed in; disk.img is opened for direct I/O, so that no page cache of this file
 * system merges or holds back the loop device's writes. */
#define FUSE_USE_VERSION 31
#include <errno.h>
#include <fcntl.h>
#include <fuse.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static int backing = -1, logfd = -1;
static off_t disksize;

static int putall(int fd, const void *data, size_t n) {
    const char *p = data;
    while (n > 0) {
        ssize_t put = write(fd, p, n);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return -EIO;
        p += put;
        n -= (size_t)put;
    }
    return 0;
}

static int record(char type, uint64_t off, const void *data, uint32_t len) {
    unsigned char head[16] = {(unsigned char)type};
    for (int i = 0; i < 4; ++i)
        head[4 + i] = (unsigned char)(len >> (8 * i));
    for (int i = 0; i < 8; ++i)
        head[8 + i] = (unsigned char)(off >> (8 * i));
    int err = putall(logfd, head, sizeof head);
    return err != 0 || len == 0 ? err : putall(logfd, data, len);
}

static int rec_getattr(const char *path, struct stat *st, struct fuse_file_info *fi) {
    (void)fi;
    memset(st, 0, sizeof *st);
    if (strcmp(path, "/") == 0) {
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
    } else if (strcmp(path, "/disk.img") == 0) {
        st->st_mode = S_IFREG | 0600;
        st->st_nlink = 1;
        st->st_size = disksize;
    } else if (strcmp(path, "/mark") == 0) {
        st->st_mode = S_IFREG | 0200;
        st->st_nlink = 1;
    } else {
        return -ENOENT;
    }
    return 0;
}

static int rec_open(const char *path, struct fuse_file_info *fi) {
    if (strcmp(path, "/disk.img") != 0 && strcmp(path, "/mark") != 0)
        return -ENOENT;
    fi->direct_io = 1;
    return 0;
}

static int rec_truncate(const char *path, off_t size, struct fuse_file_info *fi) {
    (void)fi;
    return strcmp(path, "/mark") == 0 || size == disksize ? 0 : -EPERM;
}

static int rec_read(const char *path, char *buf, size_t n, off_t off, struct fuse_file_info *fi) {
    (void)fi;
    if (strcmp(path, "/disk.img") != 0)
        return 0;
    ssize_t got = pread(backing, buf, n, off);
    return got < 0 ? -errno : (int)got;
}

static int rec_write(const char *path, const char *buf, size_t n, off_t off, struct fuse_file_info *fi) {
    (void)fi;
    if (strcmp(path, "/mark") == 0) {
        char text[32] = {0};
        memcpy(text, buf, n < sizeof text - 1 ? n : sizeof text - 1);
        int err = record('M', strtoull(text, NULL, 10), NULL, 0);
        return err != 0 ? err : (int)n;
    }
    if (off + (off_t)n > disksize)
        return -ENOSPC;
    ssize_t put = pwrite(backing, buf, n, off);
    if (put != (ssize_t)n)
        return put < 0 ? -errno : -EIO;
    int err = record('W', (uint64_t)off, buf, (uint32_t)n);
    return err != 0 ? err : (int)n;
}

static int rec_fsync(const char *path, int datasync, struct fuse_file_info *fi) {
    (void)datasync, (void)fi;
    return strcmp(path, "/disk.img") == 0 ? record('F', 0, NULL, 0) : 0;
}

static int rec_readdir(const char *path, void *buf, fuse_fill_dir_t fill, off_t off, struct fuse_file_info *fi,
                       enum fuse_readdir_flags flags) {
    (void)off, (void)fi, (void)flags;
    if (strcmp(path, "/") != 0)
        return -ENOENT;
    fill(buf, ".", NULL, 0, 0);
    fill(buf, "..", NULL, 0, 0);
    fill(buf, "disk.img", NULL, 0, 0);
    fill(buf, "mark", NULL, 0, 0);
    return 0;
}

static const struct fuse_operations ops = {
    .getattr = rec_getattr,
    .open = rec_open,
    .truncate = rec_truncate,
    .read = rec_read,
    .write = rec_write,
    .fsync = rec_fsync,
    .readdir = rec_readdir,
};

int main(int argc, char **argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: blockrecorder MOUNTPOINT BACKING LOG SIZE\n");
        return 2;
    }
    disksize = (off_t)strtoll(argv[4], NULL, 10);
    backing = open(argv[2], O_RDWR | O_CREAT, 0600);
    logfd = open(argv[3], O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0600);
    if (backing < 0 || logfd < 0 || ftruncate(backing, disksize) != 0) {
        perror("blockrecorder");
        return 1;
    }
    char *args[] = {argv[0], "-s", "-o", "fsname=blockrecorder", argv[1], NULL};
    return fuse_main(5, args, &ops, NULL);
}
