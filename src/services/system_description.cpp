#include "services/system_description.h"

#include <sys/utsname.h>

#include <cctype>
#include <fstream>
#include <sstream>

namespace {

std::string PrettyName(const std::string& osRelease) {
  std::istringstream lines(osRelease);
  std::string line;
  while (std::getline(lines, line)) {
    static const std::string kKey = "PRETTY_NAME=";
    if (line.rfind(kKey, 0) != 0) continue;
    std::string value = line.substr(kKey.size());
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
      value = value.substr(1, value.size() - 2);
    return value;
  }
  return {};
}

// "6.1.0-13-amd64" gives 6, 1, 0; missing numbers are 0.
void ReleaseNumbers(const std::string& release, int numbers[3]) {
  size_t pos = 0;
  for (int i = 0; i < 3; ++i) {
    numbers[i] = 0;
    if (pos >= release.size() || !std::isdigit(static_cast<unsigned char>(release[pos]))) continue;
    int value = 0;
    while (pos < release.size() && std::isdigit(static_cast<unsigned char>(release[pos])) && value < 100000)
      value = value * 10 + (release[pos++] - '0');
    numbers[i] = value;
    if (pos < release.size() && release[pos] == '.') ++pos;
    else pos = release.size();
  }
}

std::string ReadFile(const char* path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

std::string OperatingSystemDescription(const std::string& osRelease, const std::string& kernelName,
                                       const std::string& kernelRelease, const std::string& machine) {
  std::string name = PrettyName(osRelease);
  if (name.empty()) name = kernelName.empty() ? "Linux" : kernelName;
  int numbers[3];
  ReleaseNumbers(kernelRelease, numbers);
  const bool wide = machine.find("64") != std::string::npos;
  return name + " (Version " + std::to_string(numbers[0]) + "." + std::to_string(numbers[1]) + ", Build " +
         std::to_string(numbers[2]) + ", " + (wide ? "64-bit Edition" : "32-bit Edition") + ")";
}

std::string OperatingSystemDescription() {
  utsname names{};
  const bool known = uname(&names) == 0;
  std::string osRelease = ReadFile("/etc/os-release");
  if (osRelease.empty()) osRelease = ReadFile("/usr/lib/os-release");
  return OperatingSystemDescription(osRelease, known ? names.sysname : "", known ? names.release : "",
                                    known ? names.machine : "");
}
