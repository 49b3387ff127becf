// GET BPM's measurement: the tempo, key and tuning of a file, measured on a
// worker thread of its own from its own reading of the file, so playback
// goes on. One measurement at a time; a newer one, a cancel or the task's
// end makes an older result stale, and a stale result is never delivered.
//
// Threads: start, cancel and the destructor on the main thread; the worker
// only reads the file and hands its result (or its failure) back to the
// main thread, where the callbacks run.
#pragma once

#include <QObject>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "dsp/key_estimator.h"

struct ExceptionDescription;

class BpmKeyTask : public QObject {
 public:
  // Main thread: the measured value (0: no tempo) and key.
  using Measured = std::function<void(float bpm, const KeyEstimate& key)>;
  // Main thread: an exception escaped the worker; the measurement then ends
  // with no tempo and no key (Measured follows).
  using Failed = std::function<void(const ExceptionDescription& failure)>;

  BpmKeyTask(Measured onMeasured, Failed onFailed, QObject* parent = nullptr);
  // Calls a running measurement off and waits for its worker.
  ~BpmKeyTask() override;

  // Opens `fileName` here (a file gone since says so now, from the main
  // thread) and measures it on the worker. False when it did not open or a
  // measurement is running.
  bool start(const std::string& fileName);
  // Stops a running measurement at its next block and waits for the worker;
  // whatever it already sent is dropped.
  void cancel();
  bool running() const { return running_; }

 private:
  void finished(uint64_t serial, float bpm, const KeyEstimate& key);

  // ---- main thread ----
  Measured onMeasured_;
  Failed onFailed_;
  uint64_t serial_ = 0;
  bool running_ = false;
  std::thread worker_;

  // ---- both: set by the main thread, read by the worker ----
  std::atomic<bool> stop_{false};
};
