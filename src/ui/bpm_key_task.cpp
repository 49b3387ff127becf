#include "ui/bpm_key_task.h"

#include <QMetaObject>

#include <memory>

#include "decode/audio_file_reader.h"
#include "services/exception_report.h"
#include "analysis/key_measurement.h"

BpmKeyTask::BpmKeyTask(Measured onMeasured, Failed onFailed, QObject* parent)
    : QObject(parent), onMeasured_(std::move(onMeasured)), onFailed_(std::move(onFailed)) {
  setObjectName(QStringLiteral("bpmKeyTask"));
}

BpmKeyTask::~BpmKeyTask() { cancel(); }

bool BpmKeyTask::start(const std::string& fileName) {
  if (running_) return false;
  auto reader = std::make_shared<AudioFileReader>(fileName);
  if (!reader->opened()) return false;
  running_ = true;
  stop_.store(false);
  const uint64_t serial = ++serial_;
  worker_ = std::thread([this, reader, serial] {
    // One pass over the file gives the tempo and the key and tuning. A
    // failure is reported on the main thread and shows as no tempo and no
    // key found; it never ends the program.
    BpmAndKey result;
    RunGuarded([&] { result = MeasureBpmAndKey(*reader, reader->channels(), reader->sampleRate(), stop_); }, this,
               [this](const ExceptionDescription& failure) {
                 if (onFailed_) onFailed_(failure);
               });
    QMetaObject::invokeMethod(
        this, [this, serial, result] { finished(serial, result.bpm, result.key); }, Qt::QueuedConnection);
  });
  return true;
}

void BpmKeyTask::finished(uint64_t serial, float bpm, const KeyEstimate& key) {
  if (!running_ || serial != serial_) return;  // called off, or an older run
  if (worker_.joinable()) worker_.join();      // it has nothing left to do but return
  running_ = false;
  if (onMeasured_) onMeasured_(bpm, key);
}

void BpmKeyTask::cancel() {
  ++serial_;
  if (worker_.joinable()) {
    stop_.store(true);
    worker_.join();
  }
  stop_.store(false);
  running_ = false;
}
