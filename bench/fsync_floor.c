/* The least a durable single operation can cost on a filesystem: COUNT times,
   append a 64-byte record to FILE and fsync it, with nothing else in the loop.
   Prints the seconds the loop took.

   Usage: fsync_floor FILE COUNT */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s FILE COUNT\n", argv[0]);
        return 2;
    }
    long count = strtol(argv[2], NULL, 10);
    char record[64];
    memset(record, 'x', sizeof record);
    int fd = open(argv[1], O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        perror("open");
        return 1;
    }
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (long i = 0; i < count; i++) {
        if (write(fd, record, sizeof record) != (ssize_t)sizeof record) {
            perror("write");
            return 1;
        }
        if (fsync(fd) != 0) {
            perror("fsync");
            return 1;
        }
    }
    clock_gettime(CLOCK_MONOTONIC, &end);
    close(fd);
    printf("%.9f\n", (double)(end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) / 1e9);
    return 0;
}
