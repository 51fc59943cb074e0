/* The least a durable operation can cost on a filesystem: COUNT times,
   append a record of each given size to FILE, each followed by an fsync,
   with nothing else in the loop. Prints the seconds the loop took.

   Usage: fsync_floor FILE COUNT [BYTES...]   (BYTES: 64 if none is given)

   With one size it is the floor of a single durable operation; with the
   sizes of the frames that one batch cycle appends (its Enqueues, Leases
   and Acks, each batch synced once), the floor of a batch cycle. */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#define MAX_SIZES 16

int main(int argc, char **argv) {
    if (argc < 3 || argc > 3 + MAX_SIZES) {
        fprintf(stderr, "usage: %s FILE COUNT [BYTES...]\n", argv[0]);
        return 2;
    }
    long count = strtol(argv[2], NULL, 10);
    long sizes[MAX_SIZES] = {64};
    int n_sizes = argc > 3 ? argc - 3 : 1;
    long largest = 0;
    for (int i = 0; i < argc - 3; i++) sizes[i] = strtol(argv[3 + i], NULL, 10);
    for (int i = 0; i < n_sizes; i++) {
        if (sizes[i] <= 0) {
            fprintf(stderr, "sizes must be positive\n");
            return 2;
        }
        if (sizes[i] > largest) largest = sizes[i];
    }
    char *record = malloc((size_t)largest);
    if (record == NULL) {
        perror("malloc");
        return 1;
    }
    memset(record, 'x', (size_t)largest);
    int fd = open(argv[1], O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        perror("open");
        return 1;
    }
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (long i = 0; i < count; i++) {
        for (int s = 0; s < n_sizes; s++) {
            if (write(fd, record, (size_t)sizes[s]) != (ssize_t)sizes[s]) {
                perror("write");
                return 1;
            }
            if (fsync(fd) != 0) {
                perror("fsync");
                return 1;
            }
        }
    }
    clock_gettime(CLOCK_MONOTONIC, &end);
    close(fd);
    free(record);
    printf("%.9f\n", (double)(end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) / 1e9);
    return 0;
}
