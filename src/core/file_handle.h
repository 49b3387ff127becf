// Owning handle for a C stdio stream: closed (unchecked) when it goes. Code
// that must know whether a close succeeded calls CloseChecked itself.
#pragma once

#include <cstdio>
#include <memory>

struct FileCloser {
  void operator()(std::FILE* f) const noexcept {
    if (f) std::fclose(f);
  }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;
