// The karaoke graphics companion (".cdg") of a saved file: where the
// source's is found, where the output's goes, and the time-scaled copy.
//
// The export job decides when the copy is made and moves it into place
// (export_job.h); the functions here only find names and write bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// The source's companion: a file in the source's folder with the source's
// base name and the extension "cdg" in any case (".cdg", ".CDG", ".Cdg" ...).
// When several spellings exist, ".cdg" wins, then ".CDG", then the first in
// byte order. Empty when there is none.
std::string FindCompanion(const std::string& sourceName);

// Where the output's companion goes: outName with the extension ".cdg".
std::string CompanionName(const std::string& outName);

// True when writing outputCompanion would touch the source's companion:
// both names reach one file on disk, or they sit in the same folder under
// names that differ only in case (two such files would be taken for each
// other on the next save, and are one file on case-blind file systems).
bool IsSourceCompanion(const std::string& sourceCompanion, const std::string& outputCompanion);

// Writes the companion `from` into `to` (created, or truncated when it
// exists) time-scaled to the output: tempoChange is the change of tempo in
// whole percent, the output playing (100 + tempoChange) / 100 times as fast
// as the source; it must be above -100.
//
// Faster (tempoChange >= 0): packets that carry no graphics (first byte not
// 9) are dropped, about q = |100 - 100 * 100 / (100 + tempoChange)| per 100,
// a shortfall carrying over to later chunks of 100. Slower down to half
// speed: a packet of 24 zero bytes goes in before every (100 / q)-th source
// packet. Slower than half speed: before each source packet but the first,
// as many empty packets as keep the output count at
// 1 + floor(n * 100 / (100 + tempoChange)) after n + 1 source packets.
// A trailing partial packet is not written.
//
// Returns why it failed, naming the file ("Cannot read \"<from>\": ...",
// "Cannot write \"<to>\": No space left on device"), or nothing; `to` may
// then be incomplete.
std::optional<std::string> WriteScaledCompanion(const std::string& from, const std::string& to, int32_t tempoChange);
