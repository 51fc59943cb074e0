/* What one synced write costs the disk: for each way of making a small
   write durable, COUNT of them in a file under DIR, the cache flushes the
   block device completed meanwhile (from /sys/dev/block/M:N/stat, the
   flush counter that kernels since 5.5 keep) and the time per call.

   Usage: fsync_flushes DIR COUNT

   The device counts every program's flushes, so run it on a quiet disk (or
   read the figures as upper bounds). An append changes the file's size,
   which only a journal commit makes durable; an overwrite inside the file
   leaves fdatasync nothing but the data to write. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#define RECORD 64

static char stat_path[256];

/* Flush requests completed by the device holding the directory, or -1. */
static long device_flushes(void) {
    FILE *f = fopen(stat_path, "r");
    if (f == NULL) return -1;
    long fields[17] = {0};
    int n = 0;
    while (n < 17 && fscanf(f, "%ld", &fields[n]) == 1) n++;
    fclose(f);
    return n > 15 ? fields[15] : -1;
}

static void find_stat_path(const char *dir) {
    struct stat st;
    if (stat(dir, &st) != 0) {
        perror("stat");
        exit(1);
    }
    char base[128], probe[192];
    snprintf(base, sizeof base, "/sys/dev/block/%u:%u", major(st.st_dev), minor(st.st_dev));
    snprintf(probe, sizeof probe, "%s/partition", base);
    /* A partition's flushes are counted by the whole disk. */
    snprintf(stat_path, sizeof stat_path, access(probe, F_OK) == 0 ? "%s/../stat" : "%s/stat",
             base);
}

static double now_s(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

enum method { APPEND_FSYNC, APPEND_FDATASYNC, APPEND_RWF_DSYNC, OVERWRITE_FDATASYNC };
static const char *const names[] = {
    "append + fsync", "append + fdatasync", "append, pwritev2 RWF_DSYNC",
    "overwrite in place + fdatasync"};

static void run(const char *dir, long count, enum method m) {
    char path[512];
    snprintf(path, sizeof path, "%s/fsync-flushes.bin", dir);
    unlink(path);
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC | (m == OVERWRITE_FDATASYNC ? 0 : O_APPEND),
                  0644);
    if (fd < 0) {
        perror("open");
        exit(1);
    }
    char record[RECORD];
    memset(record, 'x', sizeof record);
    if (m == OVERWRITE_FDATASYNC) {
        /* The file is written and synced whole first: the timed writes
           change neither its size nor its block map. */
        for (long i = 0; i < count; i++) {
            if (write(fd, record, sizeof record) != (ssize_t)sizeof record) {
                perror("write");
                exit(1);
            }
        }
        fsync(fd);
    }
    long before = device_flushes();
    double start = now_s();
    for (long i = 0; i < count; i++) {
        ssize_t done;
        if (m == APPEND_RWF_DSYNC) {
            struct iovec v = {record, sizeof record};
            done = pwritev2(fd, &v, 1, -1, RWF_DSYNC);
        } else if (m == OVERWRITE_FDATASYNC) {
            done = pwrite(fd, record, sizeof record, (off_t)i * RECORD);
        } else {
            done = write(fd, record, sizeof record);
        }
        if (done != (ssize_t)sizeof record) {
            perror("write");
            exit(1);
        }
        int synced = 0;
        if (m == APPEND_FSYNC) synced = fsync(fd);
        if (m == APPEND_FDATASYNC || m == OVERWRITE_FDATASYNC) synced = fdatasync(fd);
        if (synced != 0) {
            perror("sync");
            exit(1);
        }
    }
    double seconds = now_s() - start;
    long after = device_flushes();
    close(fd);
    unlink(path);
    if (before < 0 || after < 0) {
        printf("%-32s %8.1f us per call, flushes not counted by this kernel\n", names[m],
               seconds / count * 1e6);
    } else {
        printf("%-32s %8.1f us per call, %5.2f device flushes per call\n", names[m],
               seconds / count * 1e6, (double)(after - before) / count);
    }
}

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s DIR COUNT\n", argv[0]);
        return 2;
    }
    long count = strtol(argv[2], NULL, 10);
    find_stat_path(argv[1]);
    for (int m = APPEND_FSYNC; m <= OVERWRITE_FDATASYNC; m++) run(argv[1], count, (enum method)m);
    return 0;
}
