#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "dsp/pcm_convert.h"

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

struct Case { float in; int32_t out16; int32_t out24; };
// Expected integers per the contract: scale, round half to even, clip.
const Case kCases[] = {
    {0.0f, 0, 0},
    {-0.0f, 0, 0},
    {1.0f, 32767, 8388607},
    {-1.0f, -32768, -8388608},
    {0.5f, 16384, 4194304},
    {-0.5f, -16384, -4194304},
    {0.5f / 32768, 0, 128},            // tie -> even
    {1.5f / 32768, 2, 384},            // tie -> even
    {2.5f / 32768, 2, 640},            // tie -> even
    {-2.5f / 32768, -2, -640},         // tie -> even
    {0.5f / 8388608, 0, 0},            // 24-bit tie -> even
    {1.5f / 8388608, 0, 2},            // 24-bit tie -> even
    {32767.5f / 32768, 32767, 8388480},  // rounds to 32768: clipped
    {-32768.5f / 32768, -32768, -8388608},
    {1.0000001f, 32767, 8388607},
    {-1.0000001f, -32768, -8388608},
    {3.0e9f, 32767, 8388607},          // beyond int32 after scaling
    {-3.0e9f, -32768, -8388608},
    {1e30f, 32767, 8388607},
    {kInf, 32767, 8388607},
    {-kInf, -32768, -8388608},
    {kNaN, 0, 0},
    {-kNaN, 0, 0},
};

int32_t Read16(const uint8_t* p) { return int16_t(uint16_t(p[0] | (p[1] << 8))); }
int32_t Read24(const uint8_t* p) {
  const int32_t v = p[0] | (p[1] << 8) | (p[2] << 16);
  return v & 0x800000 ? v - 0x1000000 : v;
}

// Converts `in` with `format` into a buffer with guard bytes behind it and
// checks nothing past `count` samples was written.
std::vector<int32_t> Convert(const std::vector<float>& in, PcmFormat format) {
  const size_t width = format == PcmFormat::S16 ? 2 : 3;
  std::vector<uint8_t> out(in.size() * width + 32, 0xA5);
  convertToPcm(in.data(), out.data(), format, int(in.size()));
  for (size_t i = in.size() * width; i < out.size(); ++i) EXPECT_EQ(out[i], 0xA5) << "written past the end";
  std::vector<int32_t> v(in.size());
  for (size_t i = 0; i < in.size(); ++i) v[i] = width == 2 ? Read16(&out[i * width]) : Read24(&out[i * width]);
  return v;
}

TEST(PcmConvert, TableAtEveryPositionAndLength) {
  // Each case lands in every vector lane and in the scalar tail, for
  // lengths that are and are not multiples of 4 and 8.
  for (size_t count = 1; count <= 19; ++count) {
    for (size_t c = 0; c < std::size(kCases); ++c) {
      for (size_t at = 0; at < count; ++at) {
        std::vector<float> in(count);
        for (size_t i = 0; i < count; ++i) in[i] = float(i % 7) / 1024.0f - 0.003f;  // ordinary samples around it
        in[at] = kCases[c].in;
        const auto s16 = Convert(in, PcmFormat::S16);
        const auto s24 = Convert(in, PcmFormat::S24);
        ASSERT_EQ(s16[at], kCases[c].out16) << "case " << c << " count " << count << " at " << at;
        ASSERT_EQ(s24[at], kCases[c].out24) << "case " << c << " count " << count << " at " << at;
        for (size_t i = 0; i < count; ++i) {
          if (i == at) continue;
          ASSERT_EQ(s16[i], std::lrint(in[i] * 32768.0)) << i;
          ASSERT_EQ(s24[i], std::lrint(in[i] * 8388608.0)) << i;
        }
      }
    }
  }
}

TEST(PcmConvert, LittleEndianByteOrder) {
  const std::vector<float> in = {float(0x1234) / 32768, float(-2) / 32768, float(0x123456) / 8388608,
                                 float(-2) / 8388608, -1.0f};
  std::vector<uint8_t> b16(in.size() * 2), b24(in.size() * 3);
  convertToPcm(in.data(), b16.data(), PcmFormat::S16, 2);
  EXPECT_EQ(b16[0], 0x34);
  EXPECT_EQ(b16[1], 0x12);
  EXPECT_EQ(b16[2], 0xFE);
  EXPECT_EQ(b16[3], 0xFF);
  convertToPcm(in.data() + 2, b24.data(), PcmFormat::S24, 3);
  const uint8_t expect24[] = {0x56, 0x34, 0x12, 0xFE, 0xFF, 0xFF, 0x00, 0x00, 0x80};
  for (size_t i = 0; i < std::size(expect24); ++i) EXPECT_EQ(b24[i], expect24[i]) << i;
}

TEST(PcmConvert, DecodedIntegersComeBackBitExact) {
  struct Case { PcmFormat format; int bits; size_t count; };
  const Case cases[] = {{PcmFormat::S16, 16, 65536 + 7}, {PcmFormat::S24, 24, 100000 + 3}};
  std::mt19937 rng(1);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bits);
    const int32_t lo = -(1 << (c.bits - 1)), hi = (1 << (c.bits - 1)) - 1;
    std::uniform_int_distribution<int32_t> dist(lo, hi);
    std::vector<int32_t> ints(c.count);
    for (auto& v : ints) v = dist(rng);
    ints[0] = lo;
    ints[1] = hi;
    std::vector<float> in(c.count);
    for (size_t i = 0; i < c.count; ++i) in[i] = float(std::ldexp(double(ints[i]), 1 - c.bits));
    EXPECT_EQ(Convert(in, c.format), ints);
  }
}

TEST(PcmConvert, UnknownFormatOrEmptyWritesNothing) {
  const std::vector<float> in(8, 0.5f);
  std::vector<uint8_t> out(64, 0xA5);
  convertToPcm(in.data(), out.data(), PcmFormat(32), 8);
  convertToPcm(in.data(), out.data(), PcmFormat::S16, 0);
  convertToPcm(in.data(), out.data(), PcmFormat::S24, -4);
  for (uint8_t b : out) EXPECT_EQ(b, 0xA5);
}

}  // namespace
