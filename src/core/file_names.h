// Path helpers on UTF-8 path strings with '/' separators.
#pragma once

#include <string>

// The extension of the file name (from its last dot on, dot included), or
// empty when the name has none. Dots in folder names do not count.
std::string FileExtension(const std::string& path);

// path with its extension replaced by ext (which starts with the dot);
// ext appended when the name has none.
std::string ChangeFileExt(const std::string& path, const std::string& ext);
