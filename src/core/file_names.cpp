#include "core/file_names.h"

namespace {
// Index of the name's last dot, or npos when the name (after the last '/')
// has none.
size_t ExtensionStart(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return std::string::npos;
  return dot;
}
}  // namespace

std::string FileExtension(const std::string& path) {
  const size_t dot = ExtensionStart(path);
  return dot == std::string::npos ? std::string() : path.substr(dot);
}

std::string ChangeFileExt(const std::string& path, const std::string& ext) {
  const size_t dot = ExtensionStart(path);
  return (dot == std::string::npos ? path : path.substr(0, dot)) + ext;
}
