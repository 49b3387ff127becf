// What a file says of its own length, read from its bytes where FFmpeg
// keeps it to itself: the MP3 Xing/Info or VBRI frame count with the LAME
// encoder delay and padding, iTunes' gapless note in MP4 files, the sample
// number of a FLAC file's last frame, and whether an Ogg stream still has
// its last page.
//
// The decoder compares what it decoded with these to tell a damaged or
// truncated file from a good one. Pure functions of their arguments; any
// thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace stated_length {

// MPEG audio: the frames an encoder's Xing/Info (or VBRI) header says the
// stream decodes to, less the LAME header's encoder delay and padding, as
// FFmpeg trims them. `head` holds the file's first bytes (ID3v2 tags are
// skipped here); nothing when there is no such header or no frame count.
std::optional<int64_t> Mp3Frames(const uint8_t* head, size_t size);

// The "iTunSMPB" note's original length in frames (its fourth field), or
// nothing when the value does not parse.
std::optional<int64_t> ITunesGaplessFrames(const std::string& value);

// FLAC: one past the last sample of the last whole frame header found in
// `tail` (the file's last bytes), or nothing when none is found. Frames
// numbered by frame index (fixed block size) use `fixedBlockSize`.
std::optional<int64_t> FlacLastFrameEnd(const uint8_t* tail, size_t size, int fixedBlockSize);

// Ogg: whether the last page found in `tail` (the file's last bytes) is
// marked as the end of its stream; nothing when no page header is found.
std::optional<bool> OggEndsWithLastPage(const uint8_t* tail, size_t size);

// MPEG audio: the bytes of the frame whose 4-byte header is at `header`,
// or 0 when it is no valid header (or a free-format one).
int MpegFrameBytes(const uint8_t* header);

// RIFF/RF64 WAVE and AIFF/AIFF-C: the frames the audio data chunk's size
// says it holds, from the file's first bytes; nothing when the chunk is not
// found there. `blockAlign` is the bytes of one frame.
std::optional<int64_t> PcmDataFrames(const uint8_t* head, size_t size, int blockAlign);

}  // namespace stated_length
