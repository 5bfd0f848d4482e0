#include "dump/diff_forms.h"

#include <cstring>
#include <memory>
#include <new>

#include "dump/escape.h"
#include "dump/json.h"
#include "dump/listing.h"
#include "dump/numbers.h"

namespace {

constexpr const char* kSideNames[2] = {"old", "new"};

void PutNumber(Output* out, uint64_t value) {
  char* room = out->Room(20);
  out->Commit(FormatUnsigned(value, room));
}

void PutTime(Output* out, int32_t time, bool raw) {
  char* room = out->Room(kTimeTextSize);
  out->Commit(FormatTime(time, raw, room));
}

// `\tNAME OLD -> NEW` for a field that changed.
void PutChangedTime(Output* out, const char* name, int32_t old, int32_t now,
                    bool raw) {
  if (old == now) return;
  out->Put('\t');
  PutText(out, name);
  out->Put(' ');
  PutTime(out, old, raw);
  PutText(out, " -> ");
  PutTime(out, now, raw);
}

void PutCsvNumbers(Output* out, const DatabaseRecord* record, bool raw) {
  if (record == nullptr) {
    PutText(out, ",,,,");
    return;
  }
  const int32_t times[] = {record->lastWrite, record->creation,
                           record->lastAccess};
  for (int32_t time : times) {
    out->Put(',');
    PutTime(out, time, raw);
  }
  out->Put(',');
  PutNumber(out, record->size);
}

}  // namespace

bool DiffTotals::Different() const {
  if (added != 0 || removed != 0 || changed != 0) return true;
  for (const auto& side : walkedOnly) {
    for (bool only : side) {
      if (only) return true;
    }
  }
  return false;
}

bool DiffWriter::Begin(const DatabaseHeader& old, const DatabaseHeader& now) {
  const DatabaseHeader* headers[2] = {&old, &now};
  switch (options_.form) {
    case kFormJson:
      for (int side = 0; side < 2; ++side) {
        std::unique_ptr<Output> label(new (std::nothrow) Output(nullptr));
        if (label == nullptr) return false;
        PutText(label.get(), "\"side\":\"");
        PutText(label.get(), kSideNames[side]);
        PutText(label.get(), "\",");
        MakeJsonLabel(label.get(), names_[side]);
        FormStyle style;
        style.raw = options_.raw;
        style.label = label->Data();
        style.labelLength = label->Used();
        WriteJsonHeader(out_, *headers[side], style);
      }
      return true;
    case kFormCsv:
      PutText(out_,
              "change,path,old_last_write,old_creation,old_last_access,"
              "old_size,new_last_write,new_creation,new_last_access,"
              "new_size\r\n");
      return true;
    default: return true;
  }
}

void DiffWriter::WriteCsvRow(const char* change, const DatabaseRecord& path,
                             const DatabaseRecord* old,
                             const DatabaseRecord* now) {
  PutText(out_, change);
  out_->Put(',');
  PutCsvField(out_, path.path, path.pathLength);
  PutCsvNumbers(out_, old, options_.raw);
  PutCsvNumbers(out_, now, options_.raw);
  PutText(out_, "\r\n");
}

void DiffWriter::WriteOneSide(DiffSide side, const DatabaseRecord& record) {
  // Only in NEW: added; only in OLD: removed.
  static constexpr const char* kChanges[2] = {"removed", "added"};
  const char* change = kChanges[side];
  switch (options_.form) {
    case kFormList: {
      PutText(out_, change);
      out_->Put('\t');
      FormStyle style;
      style.raw = options_.raw;
      WriteListRecord(out_, record, style);
      return;
    }
    case kFormJson:
      PutText(out_, "{\"change\":\"");
      PutText(out_, change);
      PutText(out_, "\",\"path\":");
      PutJsonString(out_, record.path, record.pathLength);
      PutText(out_, ",\"");
      PutText(out_, kSideNames[side]);
      PutText(out_, "\":");
      WriteJsonNumbers(out_, record, options_.raw);
      PutText(out_, "}\n");
      return;
    case kFormCsv:
      WriteCsvRow(change, record, side == kOldSide ? &record : nullptr,
                  side == kNewSide ? &record : nullptr);
      return;
    default: return;
  }
}

void DiffWriter::Added(const DatabaseRecord& record) {
  ++totals_.added;
  totals_.addedSize += record.size;
  WriteOneSide(kNewSide, record);
}

void DiffWriter::Removed(const DatabaseRecord& record) {
  ++totals_.removed;
  totals_.removedSize += record.size;
  WriteOneSide(kOldSide, record);
}

void DiffWriter::Changed(const DatabaseRecord& old, const DatabaseRecord& now) {
  ++totals_.changed;
  totals_.changedOldSize += old.size;
  totals_.changedNewSize += now.size;
  bool raw = options_.raw;
  switch (options_.form) {
    case kFormList:
      PutText(out_, "changed\t");
      out_->Append(now.path, now.pathLength);
      PutChangedTime(out_, "last-write", old.lastWrite, now.lastWrite, raw);
      PutChangedTime(out_, "creation", old.creation, now.creation, raw);
      if (options_.access) {
        PutChangedTime(out_, "last-access", old.lastAccess, now.lastAccess,
                       raw);
      }
      if (old.size != now.size) {
        PutText(out_, "\tsize ");
        PutNumber(out_, old.size);
        PutText(out_, " -> ");
        PutNumber(out_, now.size);
      }
      out_->Put('\n');
      return;
    case kFormJson:
      PutText(out_, "{\"change\":\"changed\",\"path\":");
      PutJsonString(out_, now.path, now.pathLength);
      PutText(out_, ",\"old\":");
      WriteJsonNumbers(out_, old, raw);
      PutText(out_, ",\"new\":");
      WriteJsonNumbers(out_, now, raw);
      PutText(out_, "}\n");
      return;
    case kFormCsv: WriteCsvRow("changed", now, &old, &now); return;
    default: return;
  }
}

void DiffWriter::WriteListSummary() {
  PutText(out_, "files added: ");
  PutNumber(out_, totals_.added);
  PutText(out_, " (");
  PutNumber(out_, totals_.addedSize);
  PutText(out_, " bytes)\nfiles removed: ");
  PutNumber(out_, totals_.removed);
  PutText(out_, " (");
  PutNumber(out_, totals_.removedSize);
  PutText(out_, " bytes)\nfiles changed: ");
  PutNumber(out_, totals_.changed);
  PutText(out_, " (");
  PutNumber(out_, totals_.changedOldSize);
  PutText(out_, " bytes before, ");
  PutNumber(out_, totals_.changedNewSize);
  PutText(out_, " after)\n");
  for (int side = 0; side < 2; ++side) {
    for (int letter = 0; letter < 256; ++letter) {
      if (!totals_.walkedOnly[side][letter]) continue;
      PutText(out_, "drive ");
      out_->Put(static_cast<char>(letter));
      PutText(out_, ": walked only in ");
      PutText(out_, names_[side]);
      PutText(out_, ", records not compared: ");
      PutNumber(out_, totals_.notCompared[side][letter]);
      out_->Put('\n');
    }
  }
}

void DiffWriter::WriteJsonSummary() {
  const char* names[] = {
      "{\"summary\":{\"added\":", ",\"added_size\":", ",\"removed\":",
      ",\"removed_size\":",       ",\"changed\":",    ",\"changed_old_size\":",
      ",\"changed_new_size\":"};
  const uint64_t values[] = {totals_.added,         totals_.addedSize,
                             totals_.removed,       totals_.removedSize,
                             totals_.changed,       totals_.changedOldSize,
                             totals_.changedNewSize};
  for (size_t i = 0; i < sizeof values / sizeof values[0]; ++i) {
    PutText(out_, names[i]);
    PutNumber(out_, values[i]);
  }
  PutText(out_, ",\"not_compared\":[");
  const char* separator = "";
  for (int side = 0; side < 2; ++side) {
    for (int letter = 0; letter < 256; ++letter) {
      if (!totals_.walkedOnly[side][letter]) continue;
      char drive = static_cast<char>(letter);
      PutText(out_, separator);
      PutText(out_, "{\"drive\":");
      PutJsonString(out_, &drive, 1);
      PutText(out_, ",\"walked_in\":\"");
      PutText(out_, kSideNames[side]);
      PutText(out_, "\",\"records\":");
      PutNumber(out_, totals_.notCompared[side][letter]);
      out_->Put('}');
      separator = ",";
    }
  }
  PutText(out_, "]}}\n");
}

void DiffWriter::End() {
  switch (options_.form) {
    case kFormList:
      // Nothing at all when nothing differs, as diff says nothing.
      if (!totals_.Different()) return;
      // Apart from the lines above it, when there are any: a drive walked
      // on one side only differs without a line of its own.
      if (totals_.added + totals_.removed + totals_.changed != 0) {
        out_->Put('\n');
      }
      WriteListSummary();
      return;
    case kFormSummary: WriteListSummary(); return;
    case kFormJson: WriteJsonSummary(); return;
    default: return;
  }
}
