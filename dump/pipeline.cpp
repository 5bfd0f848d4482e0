#include "dump/pipeline.h"

#include <cstring>
#include <exception>
#include <new>

#include "dump/csv.h"
#include "dump/json.h"
#include "dump/listing.h"

namespace {

// A record in a batch: these numbers, then the path's bytes.
struct PackedRecord {
  uint32_t pathLength;
  int32_t lastWrite;
  int32_t creation;
  int32_t lastAccess;
  uint32_t size;
};

void WritePathRecord(Output* out, const DatabaseRecord& record,
                     const FormStyle&) {
  WritePathWithNul(out, record);
}

}  // namespace

void LineForm(DumpForm form, size_t labelLength, FormatRecord* format,
              TextBound* bound) {
  switch (form) {
    case kFormList:
      *format = WriteListRecord;
      *bound = {1, 96 + labelLength};
      return;
    case kFormCsv:
      *format = WriteCsvRecord;
      *bound = {4, 112 + labelLength};
      return;
    case kFormJson:
      *format = WriteJsonRecord;
      *bound = {6, 160 + labelLength};
      return;
    case kFormPaths:
      *format = WritePathRecord;
      *bound = {1, 8};
      return;
    case kFormSummary:
    case kFormCheck: return;
  }
}

FormatPipeline::FormatPipeline(Output* out, FormatRecord format,
                               const FormStyle& style, TextBound bound,
                               size_t recordsSize)
    : out_(out),
      format_(format),
      style_(style),
      bound_(bound),
      recordsSize_(recordsSize) {}

FormatPipeline::~FormatPipeline() {
  if (worker_.joinable()) {
    {
      std::lock_guard<std::mutex> guard(lock_);
      stopping_ = true;
    }
    workerWake_.notify_one();
    worker_.join();
  }
  for (Batch& batch : batches_) {
    delete[] batch.records;
    delete batch.text;
  }
}

bool FormatPipeline::Start() {
  for (Batch& batch : batches_) {
    batch.records = new (std::nothrow) uint8_t[recordsSize_];
    batch.text = new (std::nothrow) Output(nullptr);
    if (batch.records == nullptr || batch.text == nullptr) return false;
  }
  // Before the worker starts, which reads the batches' states: its start
  // orders these writes before its reads.
  batches_[filling_].state = State::kFilling;
  started_ = true;
  // A thread the system will not give means formatting alone.
  try {
    worker_ = std::thread(&FormatPipeline::Work, this);
  } catch (const std::exception&) {
    started_ = false;
    return false;
  }
  return true;
}

bool FormatPipeline::Add(const DatabaseRecord& record) {
  size_t recordBytes = sizeof(PackedRecord) + record.pathLength;
  size_t textBound = bound_.perPathByte * record.pathLength + bound_.perRecord;
  if (recordBytes > recordsSize_ || textBound > Output::kChunk) {
    // Longer than a batch holds: everything before it out first, then this
    // one straight to the output.
    if (!Drain()) return false;
    format_(out_, record, style_);
    return !out_->Failed();
  }
  Batch* batch = &batches_[filling_];
  if (batch->recordsUsed + recordBytes > recordsSize_ ||
      batch->textBound + textBound > Output::kChunk) {
    if (!Advance(false)) return false;
    batch = &batches_[filling_];
  }
  PackedRecord packed = {record.pathLength, record.lastWrite, record.creation,
                         record.lastAccess, record.size};
  uint8_t* at = batch->records + batch->recordsUsed;
  memcpy(at, &packed, sizeof packed);
  memcpy(at + sizeof packed, record.path, record.pathLength);
  batch->recordsUsed += recordBytes;
  batch->textBound += textBound;
  return true;
}

bool FormatPipeline::Finish() {
  bool written = Drain();
  {
    std::lock_guard<std::mutex> guard(lock_);
    stopping_ = true;
  }
  workerWake_.notify_one();
  worker_.join();
  return written;
}

void FormatPipeline::Work() {
  std::unique_lock<std::mutex> lock(lock_);
  for (;;) {
    int index;
    while (!stopping_ && (index = OldestFilled()) < 0) workerWake_.wait(lock);
    if (stopping_) return;
    batches_[index].state = State::kFormatting;
    lock.unlock();
    FormatBatch(&batches_[index]);
    lock.lock();
    batches_[index].state = State::kFormatted;
    mainWake_.notify_one();
  }
}

void FormatPipeline::FormatBatch(Batch* batch) {
  for (size_t at = 0; at < batch->recordsUsed;) {
    PackedRecord packed;
    memcpy(&packed, batch->records + at, sizeof packed);
    DatabaseRecord record;
    record.path =
        reinterpret_cast<const char*>(batch->records + at + sizeof packed);
    record.pathLength = packed.pathLength;
    record.lastWrite = packed.lastWrite;
    record.creation = packed.creation;
    record.lastAccess = packed.lastAccess;
    record.size = packed.size;
    format_(batch->text, record, style_);
    at += sizeof packed + packed.pathLength;
  }
}

int FormatPipeline::OldestFilled() const {
  for (int i = 0; i < kBatches; ++i) {
    int index = (writeHead_ + i) % kBatches;
    if (batches_[index].state == State::kFilled) return index;
  }
  return -1;
}

bool FormatPipeline::HelpOrWrite(std::unique_lock<std::mutex>& lock) {
  bool progress = false;
  while (batches_[writeHead_].state == State::kFormatted) {
    // Formatted batches are the program's alone: written without the lock,
    // so that the worker goes on while the output takes its time.
    Batch* batch = &batches_[writeHead_];
    lock.unlock();
    // A batch's text cannot outgrow its buffer (TextBound); should it, the
    // listing fails rather than lose lines.
    if (!failed_ &&
        (batch->text->Failed() ||
         !out_->WriteThrough(batch->text->Data(), batch->text->Used()))) {
      failed_ = true;
    }
    batch->text->Clear();
    batch->recordsUsed = 0;
    batch->textBound = 0;
    lock.lock();
    batch->state = State::kFree;
    writeHead_ = (writeHead_ + 1) % kBatches;
    progress = true;
  }
  if (progress) return true;
  int index = OldestFilled();
  if (index < 0) return false;
  batches_[index].state = State::kFormatting;
  lock.unlock();
  FormatBatch(&batches_[index]);
  lock.lock();
  batches_[index].state = State::kFormatted;
  return true;
}

bool FormatPipeline::Advance(bool last) {
  std::unique_lock<std::mutex> lock(lock_);
  Batch* filled = &batches_[filling_];
  if (filled->recordsUsed > 0) {
    filled->state = State::kFilled;
    workerWake_.notify_one();
  } else {
    filled->state = State::kFree;
  }
  if (last) {
    // Until every batch is written.
    for (;;) {
      bool busy = false;
      for (const Batch& batch : batches_) busy |= batch.state != State::kFree;
      if (!busy) break;
      if (!HelpOrWrite(lock)) mainWake_.wait(lock);
    }
  }
  int next = (filling_ + 1) % kBatches;
  // Every batch is written: the next to write is the next to fill, even
  // when the last one had no record to write.
  if (last) writeHead_ = next;
  while (batches_[next].state != State::kFree) {
    if (!HelpOrWrite(lock)) mainWake_.wait(lock);
  }
  batches_[next].state = State::kFilling;
  filling_ = next;
  return !failed_;
}

bool FormatPipeline::Drain() { return Advance(true); }
