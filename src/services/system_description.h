// The operating system as event reports describe it.
#pragma once

#include <string>

// "<name> (Version <major>.<minor>, Build <patch>, <32|64>-bit Edition)":
// the name is PRETTY_NAME from /etc/os-release (the kernel's name when
// there is none), the numbers are the kernel release's first three, the
// edition is the kernel's word size. For example
// "Debian GNU/Linux 12 (bookworm) (Version 6.1, Build 0, 64-bit Edition)".
std::string OperatingSystemDescription();

// The same from given parts (`osRelease`: the text of an os-release file,
// `kernelRelease` as uname -r prints it, `machine` as uname -m prints it).
std::string OperatingSystemDescription(const std::string& osRelease, const std::string& kernelName,
                                       const std::string& kernelRelease, const std::string& machine);
