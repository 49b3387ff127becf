#include "decode/stated_length.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace stated_length {
namespace {

uint32_t BigEndian32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

// ID3v2 tags (possibly several, each with an optional footer) before the
// first MPEG frame.
size_t SkipId3v2(const uint8_t* head, size_t size) {
  size_t at = 0;
  while (at + 10 <= size && std::memcmp(head + at, "ID3", 3) == 0) {
    const uint8_t* h = head + at;
    if ((h[6] | h[7] | h[8] | h[9]) & 0x80) break;  // not syncsafe: not a tag
    const size_t body = size_t(h[6]) << 21 | size_t(h[7]) << 14 | size_t(h[8]) << 7 | h[9];
    at += 10 + body + ((h[5] & 0x10) ? 10 : 0);
  }
  return at;
}

struct MpegHeader {
  bool mpeg1 = false;
  int layer = 0;  // 1 … 3
  bool mono = false;
  bool crc = false;
  int samplesPerFrame = 0;
};

std::optional<MpegHeader> ParseMpegHeader(const uint8_t* p) {
  if (p[0] != 0xFF || (p[1] & 0xE0) != 0xE0) return std::nullopt;
  const int version = (p[1] >> 3) & 3;  // 0 MPEG 2.5, 2 MPEG 2, 3 MPEG 1
  const int layerBits = (p[1] >> 1) & 3;
  const int bitrate = p[2] >> 4;
  const int rate = (p[2] >> 2) & 3;
  if (version == 1 || layerBits == 0 || bitrate == 15 || rate == 3) return std::nullopt;
  MpegHeader h;
  h.mpeg1 = version == 3;
  h.layer = 4 - layerBits;
  h.crc = (p[1] & 1) == 0;
  h.mono = (p[3] >> 6) == 3;
  h.samplesPerFrame = h.layer == 1 ? 384 : (h.layer == 2 || h.mpeg1) ? 1152 : 576;
  return h;
}

}  // namespace

int MpegFrameBytes(const uint8_t* p) {
  const auto h = ParseMpegHeader(p);
  if (!h) return 0;
  static const int kBitrates[2][3][15] = {
      // MPEG 1: layers I, II, III
      {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
       {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
       {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
      // MPEG 2 and 2.5
      {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
       {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
       {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}}};
  static const int kRates[3] = {44100, 48000, 32000};
  const int version = (p[1] >> 3) & 3;
  const int kbps = kBitrates[h->mpeg1 ? 0 : 1][h->layer - 1][p[2] >> 4];
  const int rate = kRates[(p[2] >> 2) & 3] >> (version == 3 ? 0 : version == 2 ? 1 : 2);
  const int padding = (p[2] >> 1) & 1;
  if (kbps == 0 || rate == 0) return 0;
  if (h->layer == 1) return (12 * kbps * 1000 / rate + padding) * 4;
  const int perFrame = h->layer == 3 && !h->mpeg1 ? 72 : 144;
  return perFrame * kbps * 1000 / rate + padding;
}

std::optional<int64_t> PcmDataFrames(const uint8_t* head, size_t size, int blockAlign) {
  if (size < 12 || blockAlign <= 0) return std::nullopt;
  const bool riff = std::memcmp(head, "RIFF", 4) == 0 || std::memcmp(head, "RF64", 4) == 0;
  const bool aiff = std::memcmp(head, "FORM", 4) == 0 && (std::memcmp(head + 8, "AIFF", 4) == 0 || std::memcmp(head + 8, "AIFC", 4) == 0);
  if (!riff || std::memcmp(head + 8, "WAVE", 4) != 0) {
    if (!aiff) return std::nullopt;
  }
  const bool rf64 = std::memcmp(head, "RF64", 4) == 0;
  auto size32 = [&](const uint8_t* p) {
    return aiff ? uint64_t(BigEndian32(p)) : uint64_t(p[0]) | uint64_t(p[1]) << 8 | uint64_t(p[2]) << 16 | uint64_t(p[3]) << 24;
  };
  uint64_t ds64Data = 0;
  for (size_t at = 12; at + 8 <= size;) {
    const uint8_t* chunk = head + at;
    uint64_t length = size32(chunk + 4);
    if (rf64 && std::memcmp(chunk, "ds64", 4) == 0 && at + 8 + 16 <= size) {
      const uint8_t* q = chunk + 8 + 8;
      for (int i = 7; i >= 0; --i) ds64Data = ds64Data << 8 | q[i];
    }
    if (riff && std::memcmp(chunk, "data", 4) == 0) {
      if (rf64 && length == 0xFFFFFFFFu) length = ds64Data;
      // 0 and 0xFFFFFFFF are written by recorders that stream: no size.
      if (length == 0 || length == 0xFFFFFFFFu) return std::nullopt;
      return int64_t(length / uint64_t(blockAlign));
    }
    if (aiff && std::memcmp(chunk, "SSND", 4) == 0) {
      if (at + 16 > size || length < 8) return std::nullopt;
      const uint64_t offset = BigEndian32(chunk + 8);
      return length >= 8 + offset ? int64_t((length - 8 - offset) / uint64_t(blockAlign)) : 0;
    }
    at += 8 + size_t(length) + (length & 1);
  }
  return std::nullopt;
}

std::optional<int64_t> Mp3Frames(const uint8_t* head, size_t size) {
  size_t at = SkipId3v2(head, size);
  // A little junk may stand before the first frame.
  const size_t scanEnd = std::min(size, at + 4096);
  std::optional<MpegHeader> header;
  for (; at + 4 <= scanEnd; ++at)
    if ((header = ParseMpegHeader(head + at))) break;
  if (!header) return std::nullopt;
  const uint8_t* frame = head + at;
  const size_t room = size - at;

  // VBRI (Fraunhofer): a fixed place after the header.
  if (room >= 36 + 18 && std::memcmp(frame + 36, "VBRI", 4) == 0)
    return int64_t(BigEndian32(frame + 36 + 14)) * header->samplesPerFrame;

  if (header->layer != 3) return std::nullopt;
  const size_t sideInfo = header->mpeg1 ? (header->mono ? 17 : 32) : (header->mono ? 9 : 17);
  size_t x = 4 + sideInfo;
  if (room < x + 8 || (std::memcmp(frame + x, "Xing", 4) != 0 && std::memcmp(frame + x, "Info", 4) != 0)) {
    x += 2;  // a CRC after the header
    if (!header->crc || room < x + 8 || (std::memcmp(frame + x, "Xing", 4) != 0 && std::memcmp(frame + x, "Info", 4) != 0))
      return std::nullopt;
  }
  const uint32_t flags = BigEndian32(frame + x + 4);
  if (!(flags & 1) || room < x + 12) return std::nullopt;
  const int64_t frames = BigEndian32(frame + x + 8);
  size_t lame = x + 12;
  if (flags & 2) lame += 4;
  if (flags & 4) lame += 100;
  if (flags & 8) lame += 4;
  int64_t delay = 0, padding = 0;
  // The LAME extension (also written by FFmpeg's muxer as "Lavc"/"Lavf"):
  // encoder delay and padding in 12 bits each, 21 bytes into it.
  if (room >= lame + 24 && (std::memcmp(frame + lame, "LAME", 4) == 0 || std::memcmp(frame + lame, "Lavc", 4) == 0 ||
                            std::memcmp(frame + lame, "Lavf", 4) == 0 || std::memcmp(frame + lame, "L3.9", 4) == 0)) {
    const uint8_t* d = frame + lame + 21;
    delay = int64_t(d[0]) << 4 | d[1] >> 4;
    padding = int64_t(d[1] & 0x0F) << 8 | d[2];
  }
  const int64_t total = frames * header->samplesPerFrame - delay - padding;
  return total > 0 ? std::optional<int64_t>(total) : std::nullopt;
}

std::optional<int64_t> ITunesGaplessFrames(const std::string& value) {
  // " 00000000 00000840 000001CA 00000000003F2CF6 ...": hexadecimal fields,
  // the fourth the original sample count.
  std::istringstream in(value);
  std::string field[4];
  for (std::string& f : field)
    if (!(in >> f)) return std::nullopt;
  char* end = nullptr;
  const unsigned long long n = std::strtoull(field[3].c_str(), &end, 16);
  if (end == field[3].c_str() || *end != '\0' || n == 0 || n > (1ull << 40)) return std::nullopt;
  return int64_t(n);
}

namespace {

uint8_t Crc8(const uint8_t* p, size_t n) {
  uint8_t crc = 0;
  for (size_t i = 0; i < n; ++i) {
    crc ^= p[i];
    for (int b = 0; b < 8; ++b) crc = uint8_t((crc & 0x80) ? (crc << 1) ^ 0x07 : crc << 1);
  }
  return crc;
}

// A FLAC frame header at p (at most `room` bytes): one past its last sample.
std::optional<int64_t> FlacFrameEnd(const uint8_t* p, size_t room, int fixedBlockSize) {
  if (room < 6 || p[0] != 0xFF || (p[1] & 0xFE) != 0xF8) return std::nullopt;
  const bool variable = p[1] & 1;
  const int blockCode = p[2] >> 4, rateCode = p[2] & 0x0F;
  const int channelCode = p[3] >> 4, sizeCode = (p[3] >> 1) & 7;
  if (blockCode == 0 || rateCode == 15 || channelCode > 10 || sizeCode == 3 || (p[3] & 1)) return std::nullopt;
  // The frame or sample number, UTF-8 style, up to 36 bits.
  size_t at = 4;
  int extra = 0;
  uint64_t number = p[at];
  if (number < 0x80) {
  } else if ((number & 0xE0) == 0xC0) { extra = 1; number &= 0x1F; }
  else if ((number & 0xF0) == 0xE0) { extra = 2; number &= 0x0F; }
  else if ((number & 0xF8) == 0xF0) { extra = 3; number &= 0x07; }
  else if ((number & 0xFC) == 0xF8) { extra = 4; number &= 0x03; }
  else if ((number & 0xFE) == 0xFC) { extra = 5; number &= 0x01; }
  else if (number == 0xFE) { extra = 6; number = 0; }
  else return std::nullopt;
  ++at;
  for (int i = 0; i < extra; ++i, ++at) {
    if (at >= room || (p[at] & 0xC0) != 0x80) return std::nullopt;
    number = number << 6 | (p[at] & 0x3F);
  }
  int64_t block = 0;
  if (blockCode == 1) block = 192;
  else if (blockCode <= 5) block = int64_t(576) << (blockCode - 2);
  else if (blockCode == 6) { if (at + 1 > room) return std::nullopt; block = p[at] + 1; at += 1; }
  else if (blockCode == 7) { if (at + 2 > room) return std::nullopt; block = (p[at] << 8 | p[at + 1]) + 1; at += 2; }
  else block = int64_t(256) << (blockCode - 8);
  if (rateCode == 12) at += 1;
  else if (rateCode == 13 || rateCode == 14) at += 2;
  if (at + 1 > room || Crc8(p, at) != p[at]) return std::nullopt;
  if (!variable && fixedBlockSize <= 0) return std::nullopt;
  const int64_t first = variable ? int64_t(number) : int64_t(number) * fixedBlockSize;
  return first + block;
}

uint32_t OggCrc(const uint8_t* p, size_t n) {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t r = i << 24;
      for (int b = 0; b < 8; ++b) r = (r & 0x80000000u) ? (r << 1) ^ 0x04C11DB7u : r << 1;
      t[i] = r;
    }
    return t;
  }();
  uint32_t crc = 0;
  for (size_t i = 0; i < n; ++i) crc = (crc << 8) ^ table[((crc >> 24) ^ p[i]) & 0xFF];
  return crc;
}

}  // namespace

std::optional<int64_t> FlacLastFrameEnd(const uint8_t* tail, size_t size, int fixedBlockSize) {
  for (size_t i = size >= 6 ? size - 6 : 0; size >= 6; --i) {
    if (auto end = FlacFrameEnd(tail + i, size - i, fixedBlockSize)) return end;
    if (i == 0) break;
  }
  return std::nullopt;
}

std::optional<bool> OggEndsWithLastPage(const uint8_t* tail, size_t size) {
  // The last page whose checksum holds: a page cut off by the end of the
  // file does not count.
  for (size_t i = size >= 27 ? size - 27 : 0; size >= 27; --i) {
    const uint8_t* p = tail + i;
    if (std::memcmp(p, "OggS", 4) == 0 && p[4] == 0) {
      const size_t segments = p[26];
      if (i + 27 + segments <= size) {
        size_t body = 0;
        for (size_t s = 0; s < segments; ++s) body += p[27 + s];
        const size_t length = 27 + segments + body;
        if (i + length <= size) {
          const uint32_t stored = uint32_t(p[22]) | uint32_t(p[23]) << 8 | uint32_t(p[24]) << 16 | uint32_t(p[25]) << 24;
          std::basic_string<uint8_t> page(p, length);
          page[22] = page[23] = page[24] = page[25] = 0;
          if (OggCrc(page.data(), page.size()) == stored) return (p[5] & 0x04) != 0;
        }
      }
    }
    if (i == 0) break;
  }
  return std::nullopt;
}

}  // namespace stated_length
