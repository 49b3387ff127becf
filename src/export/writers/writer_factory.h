// The writers by format index: the one place that knows every concrete
// writer, so the writers' common base knows none of them.
#pragma once

#include <array>
#include <memory>
#include <string>

#include "export/writers/audio_writer.h"

// Constructs a writer for the path; throws WriterError when the file or the
// encoder cannot be set up.
using WriterFactory = std::unique_ptr<AudioWriter> (*)(const std::string& path, const ExportFormat& format);

// Writer factory per format index: 1 MP3, 2 WAV, 3 FLAC, 4 M4A; entry 0 is empty.
extern const std::array<WriterFactory, 5> kWriterFactories;
