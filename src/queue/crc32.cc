// CRC-32/ISO-HDLC, the checksum of every log payload.
//
// Carry-less multiplication where the processor has it (below), and
// slicing-by-8 for short inputs and tails: table[0] is the classic
// one-byte-per-step table; table[k][b] is the register contribution of byte
// b followed by k zero bytes, so eight lookups advance the register by eight
// bytes at once. Every kernel gives the result of the one-byte loop for
// every input; only the speed differs, which matters because every body is
// checksummed on append and again on every replay.
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
  // A short tail (what follows the folded blocks) in as few dependent steps
  // as possible: four bytes at once, then the rest one by one.
  if (n >= 4) {
    const uint32_t x = c ^ decode_fixed32(p);
    c = t[3][x & 0xFF] ^ t[2][(x >> 8) & 0xFF] ^ t[1][(x >> 16) & 0xFF] ^ t[0][x >> 24];
    p += 4;
    n -= 4;
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
// constants are powers of x modulo the polynomial, bit-reflected: for a
// distance of d blocks of 16 bytes, x^(128d+32) and x^(128d-32); then x^64,
// and the polynomial with its Barrett constant.
//
// Most payloads are short (an Enqueue of a 100-byte body is 121 bytes), so
// what counts there is latency, not throughput: rather than folding block
// after block into one register, every block is multiplied by the power
// that carries it to the last block at once, all of them independently, and
// the products are added. The fold by four blocks serves long payloads
// first, in four lanes; the lanes and the last blocks end the same way.
struct FoldConstant {
  uint64_t lo;  // x^(128d+32)
  uint64_t hi;  // x^(128d-32)
};
constexpr FoldConstant kFold[8] = {
    {0, 0},  // distance 0: no fold
    {0x1751997d0, 0x0ccaa009e}, {0x0f1da05aa, 0x15a546366}, {0x03db1ecdc, 0x174359406},
    {0x154442bd4, 0x1c6e41596}, {0x1c7569e54, 0x0ae0b5394}, {0x0df068dc2, 0x18cb44e58},
    {0x1ea89367e, 0x1d7cfc6ac},
};
constexpr int kMaxDistance = 7;

FERROW_CLMUL inline __m128i fold_constant(int distance) {
  return _mm_set_epi64x(static_cast<long long>(kFold[distance].hi),
                        static_cast<long long>(kFold[distance].lo));
}

// x carried `distance` blocks forward (0: x itself).
FERROW_CLMUL inline __m128i carry(__m128i x, int distance) {
  if (distance == 0) return x;
  const __m128i k = fold_constant(distance);
  return _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x11), _mm_clmulepi64_si128(x, k, 0x00));
}

// The 128-bit remainder down to the 32-bit CRC register.
FERROW_CLMUL inline uint32_t reduce(__m128i x1) {
  const __m128i k3k4 = fold_constant(1);
  const __m128i k5k0 = _mm_set_epi64x(0, 0x0163cd6124);
  const __m128i poly = _mm_set_epi64x(0x01f7011641, 0x01db710641);
  const __m128i mask32 = _mm_setr_epi32(~0, 0, ~0, 0);
  // 128 bits to 64.
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

// REQUIRES: n >= 16 and n a multiple of 16.
FERROW_CLMUL uint32_t update_by_folding(uint32_t c, const char* p, size_t n) {
  const __m128i first = _mm_xor_si128(load16(p), _mm_cvtsi32_si128(static_cast<int>(c)));
  size_t blocks = n / 16;
  if (blocks <= kMaxDistance + 1) {
    // Short: every block carried straight to the last.
    __m128i acc = carry(first, static_cast<int>(blocks - 1));
    for (size_t i = 1; i < blocks; i++) {
      acc = _mm_xor_si128(acc, carry(load16(p + 16 * i), static_cast<int>(blocks - 1 - i)));
    }
    return reduce(acc);
  }
  // Long: four lanes, each folded four blocks at a time.
  const __m128i k1k2 = fold_constant(4);
  __m128i x1 = first;
  __m128i x2 = load16(p + 16);
  __m128i x3 = load16(p + 32);
  __m128i x4 = load16(p + 48);
  p += 64;
  blocks -= 4;
  while (blocks >= 4) {
    x1 = fold(x1, k1k2, load16(p));
    x2 = fold(x2, k1k2, load16(p + 16));
    x3 = fold(x3, k1k2, load16(p + 32));
    x4 = fold(x4, k1k2, load16(p + 48));
    p += 64;
    blocks -= 4;
  }
  // The lanes and the 0 to 3 blocks left, each carried to the last block.
  const int left = static_cast<int>(blocks);
  __m128i acc = _mm_xor_si128(_mm_xor_si128(carry(x1, 3 + left), carry(x2, 2 + left)),
                              _mm_xor_si128(carry(x3, 1 + left), carry(x4, left)));
  for (int i = 0; i < left; i++) acc = _mm_xor_si128(acc, carry(load16(p + 16 * i), left - 1 - i));
  return reduce(acc);
}

// Asked once the processor's features are known (a static initialiser may
// run before libgcc's own).
const bool kHasClmul = (__builtin_cpu_init(), true) && __builtin_cpu_supports("pclmul") &&
                       __builtin_cpu_supports("sse4.1");

// With 512-bit carry-less multiplication, a payload of up to eight blocks
// (128 bytes, most Enqueue records) takes two loads and four products: each
// of the eight 128-bit lanes holds a block and its own constant.
#define FERROW_WIDE_CLMUL \
  __attribute__((target("vpclmulqdq,avx512f,avx512bw,avx512vl,pclmul,sse4.1")))

constexpr size_t kWideBlocks = 8;
// For a payload of b blocks, lane i carries its block b - 1 - i blocks on;
// the last block and the lanes past it get zero (the last is put back as
// it is, the others were loaded as zero).
struct WideConstants {
  alignas(64) uint64_t lanes[kWideBlocks + 1][2 * kWideBlocks];
};
constexpr WideConstants make_wide_constants() {
  WideConstants w{};
  for (size_t b = 1; b <= kWideBlocks; b++) {
    for (size_t i = 0; i + 1 < b; i++) {
      const FoldConstant k = kFold[b - 1 - i];
      w.lanes[b][2 * i] = k.lo;
      w.lanes[b][2 * i + 1] = k.hi;
    }
  }
  return w;
}
constexpr WideConstants kWide = make_wide_constants();

// GCC 12's own AVX-512 headers trip its uninitialised-use warning (its bug
// 105593) in the casts and shuffles below.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
// The whole payload, tail included, with no table step: the payload is
// taken as if zero bytes stood in front of it up to a multiple of 16, which
// leaves a CRC unchanged once the initial register value is applied to the
// payload's first four bytes instead. Masked loads never touch the bytes
// outside the payload.
// REQUIRES: 32 <= n <= 128.
FERROW_WIDE_CLMUL uint32_t fold_wide(uint32_t c, const char* p, size_t n) {
  const size_t blocks = (n + 15) / 16;
  const size_t bytes = 16 * blocks;
  const size_t pad = bytes - n;
  const char* start = p - pad;
  const __mmask64 low_mask = (bytes >= 64 ? ~__mmask64{0} : (__mmask64{1} << bytes) - 1) &
                             ~((__mmask64{1} << pad) - 1);
  const __mmask64 high_mask = bytes <= 64    ? 0
                              : bytes >= 128 ? ~__mmask64{0}
                                             : (__mmask64{1} << (bytes - 64)) - 1;
  // The register, moved to the payload's first byte (pad < 16), which puts
  // its last bytes into the second block when pad > 12.
  alignas(16) static constexpr uint8_t kShift[48] = {
      0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80,
      0x80, 0x80, 0x80, 0x80, 0,    1,    2,    3,    4,    5,    6,    7,
      8,    9,    10,   11,   12,   13,   14,   15,   0x80, 0x80, 0x80, 0x80,
      0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80};
  const __m128i register_bytes = _mm_cvtsi32_si128(static_cast<int>(c));
  const __m128i in_first = _mm_shuffle_epi8(
      register_bytes, _mm_loadu_si128(reinterpret_cast<const __m128i*>(kShift + 16 - pad)));
  const __m128i in_second = _mm_shuffle_epi8(
      register_bytes, _mm_loadu_si128(reinterpret_cast<const __m128i*>(kShift + 32 - pad)));
  __m512i low = _mm512_maskz_loadu_epi8(low_mask, start);
  const __m512i high = _mm512_maskz_loadu_epi8(high_mask, start + 64);
  low = _mm512_xor_si512(
      low, _mm512_inserti32x4(_mm512_zextsi128_si512(in_first), in_second, 1));
  const __m512i k_low = _mm512_load_si512(kWide.lanes[blocks]);
  const __m512i k_high = _mm512_load_si512(kWide.lanes[blocks] + 8);
  __m512i carried_low = _mm512_xor_si512(_mm512_clmulepi64_epi128(low, k_low, 0x00),
                                         _mm512_clmulepi64_epi128(low, k_low, 0x11));
  __m512i carried_high = _mm512_xor_si512(_mm512_clmulepi64_epi128(high, k_high, 0x00),
                                          _mm512_clmulepi64_epi128(high, k_high, 0x11));
  // The last block stays where it is.
  const size_t last = blocks - 1;
  const __mmask8 last_lane = static_cast<__mmask8>(3u << (2 * (last % 4)));
  if (last < 4) {
    carried_low = _mm512_mask_mov_epi64(carried_low, last_lane, low);
  } else {
    carried_high = _mm512_mask_mov_epi64(carried_high, last_lane, high);
  }
  const __m512i sum = _mm512_xor_si512(carried_low, carried_high);
  // The upper half brought down by a lane shuffle (its 256-bit extract
  // trips a warning in some compilers' headers).
  const __m256i half = _mm256_xor_si256(
      _mm512_castsi512_si256(sum), _mm512_castsi512_si256(_mm512_shuffle_i64x2(sum, sum, 0x4E)));
  const __m128i quarter = _mm_xor_si128(_mm256_castsi256_si128(half),
                                        _mm256_extracti128_si256(half, 1));
  return reduce(quarter);
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

// The address sanitizer cannot tell a masked load from a full one (GCC and
// clang announce it differently).
#if defined(__SANITIZE_ADDRESS__)
#define FERROW_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define FERROW_ADDRESS_SANITIZER 1
#endif
#endif
#if defined(FERROW_ADDRESS_SANITIZER)
const bool kHasWideClmul = false;
#else
const bool kHasWideClmul = (__builtin_cpu_init(), true) && __builtin_cpu_supports("vpclmulqdq") &&
                           __builtin_cpu_supports("avx512f") &&
                           __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl");
#endif
#endif

}  // namespace

bool crc_kernel_available(CrcKernel kernel) {
  switch (kernel) {
    case CrcKernel::Table:
      return true;
#if defined(__x86_64__)
    case CrcKernel::Folding:
      return kHasClmul;
    case CrcKernel::Wide:
      return kHasClmul && kHasWideClmul;
#endif
    default:
      return false;
  }
}

uint32_t crc32_with(CrcKernel kernel, const char* data, size_t n) {
  uint32_t c = 0xFFFFFFFF;
#if defined(__x86_64__)
  // Below two blocks the table is as quick.
  if (kernel != CrcKernel::Table && n >= 32) {
    const size_t folded = n & ~size_t{15};
    if (kernel == CrcKernel::Wide && n <= 16 * kWideBlocks) {
      return fold_wide(c, data, n) ^ 0xFFFFFFFF;
    }
    c = update_by_folding(c, data, folded);
    data += folded;
    n -= folded;
  }
#endif
  return update_by_table(c, data, n) ^ 0xFFFFFFFF;
}

uint32_t crc32(const char* data, size_t n) {
#if defined(__x86_64__)
  // Most payloads of a replay take the wide kernel: straight there, since a
  // replay pays this call once per record.
  if (kHasClmul && kHasWideClmul && n >= 32 && n <= 16 * kWideBlocks) {
    return fold_wide(0xFFFFFFFF, data, n) ^ 0xFFFFFFFF;
  }
  // Without carry-less multiply (none of the machines we test on) the table
  // alone covers every length.
  if (kHasClmul) return crc32_with(kHasWideClmul ? CrcKernel::Wide : CrcKernel::Folding, data, n);
#endif
  return crc32_with(CrcKernel::Table, data, n);
}

}  // namespace ferrow
