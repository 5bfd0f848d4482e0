// A listing formatted on two threads: formatting takes twice the time of
// reading and parsing, so the program reads records into batches that a
// worker and the program itself format, and writes the batches' text in the
// records' order.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

#include "database/reader.h"
#include "dump/options.h"
#include "dump/output.h"

// Writes one record in an output form (WriteListRecord and its kin).
using FormatRecord = void (*)(Output* out, const DatabaseRecord& record,
                              const FormStyle& style);

// The most text one record of `pathLength` bytes may take in a form: the
// path escaped at `perPathByte` bytes a byte, and `perRecord` for the rest,
// the record's label included.
struct TextBound {
  size_t perPathByte;
  size_t perRecord;
};

// The forms that write a line a record, which the pipeline formats: the
// writer of a record and the most text it may take with a label of
// `labelLength` bytes.  Leaves `format` null for the other forms.
void LineForm(DumpForm form, size_t labelLength, FormatRecord* format,
              TextBound* bound);

class FormatPipeline {
 public:
  // Eight batches of 64 KiB let either thread run ahead of the other by a
  // few batches: four of 128 KiB kept them waiting on each other, a listing
  // of the 1m benchmark's database a seventh slower.
  static constexpr int kBatches = 8;
  static constexpr size_t kRecordsSize = 1 << 16;

  // `out` receives the text; `recordsSize` (tests take less) is the bytes of
  // records a batch holds.
  FormatPipeline(Output* out, FormatRecord format, const FormStyle& style,
                 TextBound bound, size_t recordsSize = kRecordsSize);
  ~FormatPipeline();
  FormatPipeline(const FormatPipeline&) = delete;
  FormatPipeline& operator=(const FormatPipeline&) = delete;

  // Starts the worker.  False when there is no thread or memory for it: then
  // nothing else is to be called, and the caller formats alone.
  bool Start();
  // Takes a copy of `record` to be formatted.  False once writing failed.
  bool Add(const DatabaseRecord& record);
  // Formats and writes all that was added, and ends the worker.  False when
  // writing failed.
  bool Finish();

 private:
  enum class State { kFree, kFilling, kFilled, kFormatting, kFormatted };
  struct Batch {
    State state = State::kFree;
    uint8_t* records = nullptr;
    size_t recordsUsed = 0;
    size_t textBound = 0;
    Output* text = nullptr;
  };

  void Work();
  // Formats a batch this thread has taken, without the lock.
  void FormatBatch(Batch* batch);
  // Passes the filling batch on and makes the next one the filling one,
  // writing, formatting or waiting as needed; when `last`, first writes
  // every batch.  False once writing failed.
  bool Advance(bool last);
  // Writes all that was added.  False once writing failed.
  bool Drain();
  // With the lock: writes the formatted batches at the head, in order, and
  // formats a filled one here when the worker has not taken it.  Returns
  // whether it made progress.
  bool HelpOrWrite(std::unique_lock<std::mutex>& lock);
  int OldestFilled() const;

  Output* out_;
  FormatRecord format_;
  FormStyle style_;
  TextBound bound_;
  size_t recordsSize_;
  Batch batches_[kBatches];
  int filling_ = 0;    // the batch that Add fills
  int writeHead_ = 0;  // the oldest batch not yet written
  bool started_ = false;
  bool stopping_ = false;
  bool failed_ = false;
  std::mutex lock_;
  std::condition_variable workerWake_;
  std::condition_variable mainWake_;
  std::thread worker_;
};
