// Percent-encoding for query values.
#pragma once

#include <string>
#include <string_view>

// RFC 3986: every byte of the UTF-8 text except ASCII letters, digits and
// "-", ".", "_", "~" becomes "%" and two upper-case hex digits.
std::string UriEncode(std::string_view utf8Text);
