// CRC-32/ISO-HDLC, the checksum of every log payload.
//
// Slicing-by-8: table[0] is the classic one-byte-per-step table; table[k][b]
// is the register contribution of byte b followed by k zero bytes, so eight
// lookups advance the register by eight bytes at once. The result is the same
// as the one-byte loop for every input; only the speed differs, which matters
// because every body is checksummed on append and again on every replay.
#include <array>
#include <cstddef>
#include <cstdint>

#include "queue/log_format.h"

namespace ferrow {
namespace {

constexpr uint32_t kPolynomial = 0xEDB88320;  // reflected

using Tables = std::array<std::array<uint32_t, 256>, 8>;

constexpr Tables make_tables() {
  Tables t{};
  for (uint32_t i = 0; i < 256; i++) {
    uint32_t c = i;
    for (int bit = 0; bit < 8; bit++) c = (c & 1) ? (c >> 1) ^ kPolynomial : c >> 1;
    t[0][i] = c;
  }
  for (int k = 1; k < 8; k++) {
    for (int i = 0; i < 256; i++) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
  }
  return t;
}

constexpr Tables kTables = make_tables();
static_assert(kTables[0][1] == 0x77073096 && kTables[0][255] == 0x2D02EF8D);

}  // namespace

uint32_t crc32(const char* data, size_t n) {
  const auto& t = kTables;
  const char* p = data;
  uint32_t c = 0xFFFFFFFF;
  // decode_fixed32 keeps the result independent of host byte order; compilers
  // turn it into a single load on little-endian machines.
  while (n >= 8) {
    uint32_t lo = c ^ decode_fixed32(p);
    uint32_t hi = decode_fixed32(p + 4);
    c = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
        t[3][hi & 0xFF] ^ t[2][(hi >> 8) & 0xFF] ^ t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
    p += 8;
    n -= 8;
  }
  while (n > 0) {
    c = t[0][(c ^ static_cast<uint8_t>(*p)) & 0xFF] ^ (c >> 8);
    p++;
    n--;
  }
  return c ^ 0xFFFFFFFF;
}

}  // namespace ferrow
