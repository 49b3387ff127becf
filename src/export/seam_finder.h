// Where a save split into pieces joins two of them: a place in the source,
// near the even cut, where a cross-fade between two renderings of the same
// music cannot be heard. In order of preference:
//
// - near-silence long enough to hold the cross-fade: nothing to hear;
// - just after a strong onset: the stretcher resets its phases there, so the
//   two renderings agree, and the attack masks what little differs;
// - otherwise the quietest stretch near the cut, the cut itself when the
//   sound is steady (a held note): the join then relies on aligning the two
//   renderings and on the cross-fade alone.
//
// The choice depends on the samples only (never on timing), so the same file
// is always joined at the same places.
//
// Pure functions, any thread; FindSeam reads through the reader it is given,
// which the caller owns for the time of the call.
#pragma once

#include <cstddef>
#include <cstdint>

class AudioFileReader;

enum class SeamKind { Silence, Onset, Steady };

struct SeamChoice {
  // The frame, in the analysed span, that the cross-fade is centred on.
  size_t at = 0;
  SeamKind kind = SeamKind::Steady;
};

// The analysis behind FindSeam, on `frames` mono samples at `rate`:
// `preferred` is the even cut's index, `crossfadeFrames` the cross-fade's
// length in source frames (the whole of it must fit inside the span and,
// for Silence, inside the quiet). The span should reach some seconds either
// side of the cut. Returns the cut itself, kind Steady, when nothing better
// is found or the span is too short to analyse.
SeamChoice ChooseSeam(const float* mono, size_t frames, int rate, size_t preferred, size_t crossfadeFrames);

// Reads the source around `cut` (halfSpan frames either side, kept within
// [lowest, highest)), leaves the reader wherever reading ended, and returns
// the source frame the seam is centred on, within [lowest + crossfadeFrames,
// highest - crossfadeFrames] when that span is not empty. A read that
// delivers nothing (a damaged file) gives the cut.
int64_t FindSeam(AudioFileReader& reader, int64_t cut, int64_t halfSpan, int64_t lowest, int64_t highest,
                 int64_t crossfadeFrames);
