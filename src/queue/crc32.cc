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

#if defined(__x86_64__)
#include <immintrin.h>
#endif

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

// Advances the (pre-inverted) register over n bytes, eight at a time.
uint32_t update_by_table(uint32_t c, const char* p, size_t n) {
  const auto& t = kTables;
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
  return c;
}

#if defined(__x86_64__)
#define FERROW_CLMUL __attribute__((target("pclmul,sse4.1")))

FERROW_CLMUL inline __m128i load16(const char* q) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
}

// x * k (both halves, carry-less), plus the next block.
FERROW_CLMUL inline __m128i fold(__m128i x, __m128i k, __m128i next) {
  return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x11), next),
                       _mm_clmulepi64_si128(x, k, 0x00));
}

// Carry-less multiplication folds 64 bytes per step, several times faster
// than the tables on long payloads; a replay checksums the whole log. The
// constants are powers of x modulo the polynomial, bit-reflected:
// x^(4*128+32), x^(4*128-32) (fold by four blocks), x^(128+32), x^(128-32)
// (fold by one), x^64, and the polynomial with its Barrett constant.
// REQUIRES: n >= 64 and n a multiple of 16.
FERROW_CLMUL uint32_t update_by_folding(uint32_t c, const char* p, size_t n) {
  const __m128i k1k2 = _mm_set_epi64x(0x01c6e41596, 0x0154442bd4);
  const __m128i k3k4 = _mm_set_epi64x(0x00ccaa009e, 0x01751997d0);
  const __m128i k5k0 = _mm_set_epi64x(0, 0x0163cd6124);
  const __m128i poly = _mm_set_epi64x(0x01f7011641, 0x01db710641);
  __m128i x1 = _mm_xor_si128(load16(p), _mm_cvtsi32_si128(static_cast<int>(c)));
  __m128i x2 = load16(p + 16);
  __m128i x3 = load16(p + 32);
  __m128i x4 = load16(p + 48);
  p += 64;
  n -= 64;
  while (n >= 64) {
    x1 = fold(x1, k1k2, load16(p));
    x2 = fold(x2, k1k2, load16(p + 16));
    x3 = fold(x3, k1k2, load16(p + 32));
    x4 = fold(x4, k1k2, load16(p + 48));
    p += 64;
    n -= 64;
  }
  x1 = fold(x1, k3k4, x2);
  x1 = fold(x1, k3k4, x3);
  x1 = fold(x1, k3k4, x4);
  while (n >= 16) {
    x1 = fold(x1, k3k4, load16(p));
    p += 16;
    n -= 16;
  }
  // 128 bits to 64.
  const __m128i mask32 = _mm_setr_epi32(~0, 0, ~0, 0);
  __m128i x2b = _mm_clmulepi64_si128(x1, k3k4, 0x10);
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x2b);
  x2b = _mm_srli_si128(x1, 4);
  x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, mask32), k5k0, 0x00), x2b);
  // Barrett reduction to 32 bits.
  __m128i t = _mm_clmulepi64_si128(_mm_and_si128(x1, mask32), poly, 0x10);
  t = _mm_clmulepi64_si128(_mm_and_si128(t, mask32), poly, 0x00);
  x1 = _mm_xor_si128(x1, t);
  return static_cast<uint32_t>(_mm_extract_epi32(x1, 1));
}

const bool kHasClmul = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
#endif

}  // namespace

uint32_t crc32(const char* data, size_t n) {
  uint32_t c = 0xFFFFFFFF;
#if defined(__x86_64__)
  // Without carry-less multiply (none of the machines we test on) the table
  // alone covers every length.
  if (kHasClmul && n >= 64) {
    const size_t folded = n & ~size_t{15};
    c = update_by_folding(c, data, folded);
    data += folded;
    n -= folded;
  }
#endif
  return update_by_table(c, data, n) ^ 0xFFFFFFFF;
}

}  // namespace ferrow
