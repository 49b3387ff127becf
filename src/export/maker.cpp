#include "maker.h"

#include "aacmaker.h"
#include "flacmaker.h"
#include "mp3maker.h"
#include "wavmaker.h"

tWAVEFORMATEX OutputFormat{1, 2, 44100, 44100 * 4, 4, 16, 0};

namespace {

template <class Writer>
std::unique_ptr<TAudioWriter> Make(const std::string& iname) {
  return std::make_unique<Writer>(iname);
}

}  // namespace

const std::array<WriterFactory, 5> WriterClasses = {
    nullptr, &Make<TMP3writer>, &Make<TWAVwriter>, &Make<TFLACwriter>, &Make<TAACwriter>};

std::vector<pw::Message> TAudioWriter::TakeMessages() {
  std::lock_guard lock(MessageLock);
  std::vector<pw::Message> taken;
  taken.swap(Pending);
  return taken;
}

void TAudioWriter::Report(pw::MessageKind kind, std::string text, std::string caption) {
  std::lock_guard lock(MessageLock);
  Pending.push_back(pw::Message{kind, std::move(caption), std::move(text)});
}

std::string ChangeFileExt(const std::string& name, const std::string& ext) {
  const size_t slash = name.find_last_of('/');
  const size_t dot = name.find_last_of('.');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash))
    return name.substr(0, dot) + ext;
  return name + ext;
}
