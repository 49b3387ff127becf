// Float to integer PCM. Out-of-range values are clamped in the float domain
// before conversion: cvtps2dq turns anything beyond int32 (and NaN) into
// INT32_MIN, which would wrap a large positive sample to full negative. NaN
// is zeroed first because min/max would pass it on as a range end. Rounding
// is the current SSE rounding mode, nearest-even by default; the scalar tail
// uses the same instruction so every sample rounds alike.
#include "dsp/pcm_convert.h"

#include <cmath>
#include <cstdint>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

inline int32_t ToInt(float v, float scale, float lo, float hi) {
  if (std::isnan(v)) return 0;
  float s = v * scale;
  s = s < lo ? lo : (s > hi ? hi : s);
#ifdef __SSE2__
  return _mm_cvtss_si32(_mm_set_ss(s));
#else
  return int32_t(std::nearbyint(s));
#endif
}

void Put16(uint8_t* d, int32_t v) {
  d[0] = uint8_t(v & 0xff);
  d[1] = uint8_t((v >> 8) & 0xff);
}

void Put24(uint8_t* d, int32_t v) {
  d[0] = uint8_t(v & 0xff);
  d[1] = uint8_t((v >> 8) & 0xff);
  d[2] = uint8_t((v >> 16) & 0xff);
}

#ifdef __SSE2__
inline __m128i ToInt4(__m128 x, __m128 scale, __m128 lo, __m128 hi) {
  x = _mm_and_ps(x, _mm_cmpord_ps(x, x));  // NaN -> 0
  x = _mm_mul_ps(x, scale);
  x = _mm_min_ps(_mm_max_ps(x, lo), hi);
  return _mm_cvtps_epi32(x);
}
#endif

void To16(const float* src, uint8_t* dst, int count) {
  const float scale = 32768.0f, lo = -32768.0f, hi = 32767.0f;
  int i = 0;
#ifdef __SSE2__
  const __m128 vs = _mm_set1_ps(scale), vlo = _mm_set1_ps(lo), vhi = _mm_set1_ps(hi);
  for (; i + 8 <= count; i += 8) {
    const __m128i a = ToInt4(_mm_loadu_ps(src + i), vs, vlo, vhi);
    const __m128i b = ToInt4(_mm_loadu_ps(src + i + 4), vs, vlo, vhi);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 2 * i), _mm_packs_epi32(a, b));
  }
#endif
  for (; i < count; ++i) Put16(dst + 2 * i, ToInt(src[i], scale, lo, hi));
}

void To24(const float* src, uint8_t* dst, int count) {
  const float scale = 8388608.0f, lo = -8388608.0f, hi = 8388607.0f;
  int i = 0;
#ifdef __SSE2__
  const __m128 vs = _mm_set1_ps(scale), vlo = _mm_set1_ps(lo), vhi = _mm_set1_ps(hi);
  const __m128i low24 = _mm_set1_epi32(0x00ffffff);
  const __m128i low32 = _mm_set_epi32(0, -1, 0, -1);
  for (; i + 4 <= count; i += 4) {
    // Lanes a b c d -> per 64-bit half a|b<<24 and c|d<<24 (6 bytes each),
    // then the upper half moved down to byte 6: 12 packed bytes.
    __m128i v = _mm_and_si128(ToInt4(_mm_loadu_ps(src + i), vs, vlo, vhi), low24);
    v = _mm_or_si128(_mm_and_si128(v, low32), _mm_slli_epi64(_mm_srli_epi64(v, 32), 24));
    v = _mm_or_si128(_mm_move_epi64(v), _mm_slli_si128(_mm_srli_si128(v, 8), 6));
    uint8_t* d = dst + 3 * i;
    _mm_storel_epi64(reinterpret_cast<__m128i*>(d), v);
    const int32_t rest = _mm_cvtsi128_si32(_mm_srli_si128(v, 8));
    std::memcpy(d + 8, &rest, 4);
  }
#endif
  for (; i < count; ++i) Put24(dst + 3 * i, ToInt(src[i], scale, lo, hi));
}

}  // namespace

void convertToPcm(const float* source, void* destination, PcmFormat format, int count) {
  if (!source || !destination || count <= 0) return;
  auto* dst = static_cast<uint8_t*>(destination);
  if (format == PcmFormat::S16) To16(source, dst, count);
  else if (format == PcmFormat::S24) To24(source, dst, count);
}
