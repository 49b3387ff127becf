#include "export/writers/writer_factory.h"

#include "export/writers/flac_writer.h"
#include "export/writers/m4a_writer.h"
#include "export/writers/mp3_writer.h"
#include "export/writers/wav_writer.h"

namespace {

template <class Writer>
std::unique_ptr<AudioWriter> Make(const std::string& path, const ExportFormat& format) {
  return std::make_unique<Writer>(path, format);
}

}  // namespace

const std::array<WriterFactory, 5> kWriterFactories = {
    nullptr, &Make<Mp3Writer>, &Make<WavWriter>, &Make<FlacWriter>, &Make<M4aWriter>};
