// What no replay of a log can skip: reading it and checking every frame's
// CRC. Reads FILE (a queue.log) from the page cache in pieces of 256 KiB, as
// the replay does, walks its frames and checksums each payload with the
// engine's own CRC, and prints the seconds this took; nothing is indexed.
// Built by bench/build_figures.py against the engine library of `make cpp`.
//
// Usage: replay_floor FILE
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "queue/log_format.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FILE\n", argv[0]);
    return 2;
  }
  const auto start = std::chrono::steady_clock::now();
  const int fd = ::open(argv[1], O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    std::perror("open");
    return 1;
  }
  std::string buffer(256 * 1024, '\0');
  off_t offset = ferrow::FILE_HEADER_LEN;
  size_t kept = 0;  // bytes of a frame cut by the last read, moved to the front
  uint64_t frames = 0, bad = 0;
  for (;;) {
    const ssize_t got = ::pread(fd, buffer.data() + kept, buffer.size() - kept, offset);
    if (got < 0) {
      std::perror("pread");
      return 1;
    }
    if (got == 0) break;
    offset += got;
    const size_t end = kept + static_cast<size_t>(got);
    size_t p = 0;
    while (end - p >= ferrow::FRAME_HEADER_LEN) {
      const uint32_t len = ferrow::decode_fixed32(buffer.data() + p + 4);
      if (end - p - ferrow::FRAME_HEADER_LEN < len) break;
      const char* payload = buffer.data() + p + ferrow::FRAME_HEADER_LEN;
      if (ferrow::crc32(payload, len) != ferrow::decode_fixed32(buffer.data() + p + 8)) bad++;
      frames++;
      p += ferrow::FRAME_HEADER_LEN + len;
    }
    kept = end - p;
    std::memmove(buffer.data(), buffer.data() + p, kept);
    if (kept == buffer.size()) buffer.resize(2 * buffer.size());  // a frame longer than the piece
  }
  ::close(fd);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (bad != 0) {
    std::fprintf(stderr, "%llu of %llu frames failed their CRC\n",
                 static_cast<unsigned long long>(bad), static_cast<unsigned long long>(frames));
    return 1;
  }
  std::printf("%.9f %llu\n", seconds, static_cast<unsigned long long>(frames));
  return 0;
}
