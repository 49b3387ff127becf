// The program's own version and the machine it was built for, as the About
// window shows them and the update check and error reports send them.
#pragma once

#include <string>

// Four dot-separated numbers, "5.6.0.1".
std::string ProgramVersion();
// The processor architecture this build runs on, "x86_64", "aarch64" …
std::string ProgramArchitecture();
