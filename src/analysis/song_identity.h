// What makes a song the same song wherever its file lies: a key computed
// from the decoded audio, not from the file's name, place or tags, so that a
// renamed, moved or copied file (or one retagged) is still recognised.
//
// The key is "1:RATE:CHANNELS:FRAMES:HASH": the decoder's length in frames
// (measured when the file opened, see audio_decoder.h; not counted here),
// the rate and channel count, and a 64-bit FNV-1a hash in hex of the first
// kSongKeySeconds of decoded audio, every sample quantised to a 16-bit
// integer first so that float noise below half a step does not change it.
// The leading "1" is the key's own format; a different way of computing it
// gets another number.
//
// Runs on whatever thread calls it, with a reader of its own (it seeks and
// reads the reader, so no one else may read it meanwhile).
#pragma once

#include <cstdint>
#include <string>

class AudioFileReader;

// Seconds of audio from the start that the hash covers.
inline constexpr int32_t kSongKeySeconds = 10;

// The content key of an opened reader; empty when the reader did not open.
// Seeks to 0 before reading and back to 0 afterwards. Decodes at most
// kSongKeySeconds of audio: a few tens of milliseconds for a compressed song.
std::string SongContentKey(AudioFileReader& reader);

// 64-bit FNV-1a over `size` bytes, continuing from `hash` (start with
// kFnv64Offset).
inline constexpr uint64_t kFnv64Offset = 0xcbf29ce484222325ULL;
uint64_t Fnv1a64(const void* data, size_t size, uint64_t hash = kFnv64Offset);
