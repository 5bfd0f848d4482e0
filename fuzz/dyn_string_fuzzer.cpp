// DynString operation sequences against a plain model of its text, with
// allocations failing where the input says.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/fuzz_input.h"
#include "support/dyn_string.h"
#include "support/memory.h"

namespace {

bool gFailNext = false;
bool gFailed = false;  // an allocation failed since the operation began

void* MaybeAllocate(size_t size) {
  if (gFailNext) {
    gFailNext = false;
    gFailed = true;
    return nullptr;
  }
  return ::operator new(size, std::nothrow);
}

void Check(const DynString& text, const std::string& model) {
  if (text.Length() != model.size() ||
      memcmp(text.Text(), model.data(), model.size()) != 0 ||
      text.Text()[model.size()] != '\0') {
    abort();
  }
  if (text.Capacity() != 0 && text.Capacity() <= text.Length()) abort();
}

// An operation reports failure exactly when one of its allocations failed.
void CheckOutcome(bool ok) {
  if (ok == gFailed) abort();
  gFailed = false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  memory::SetAllocator(MaybeAllocate);
  FuzzInput input(data, size);
  DynString text;
  std::string model;
  while (!input.Empty()) {
    uint8_t op = input.Byte();
    gFailNext = (op & 0x80) != 0;
    gFailed = false;
    switch (op & 0x7) {
      case 0: {  // assign fresh text, perhaps limited
        std::string value = input.Bytes(input.Byte() % 40);
        uint8_t limit = input.Byte();
        uint32_t maxLength = limit == 0xFF ? DynString::kAll : limit % 40;
        bool ok = text.Assign(value.c_str(), maxLength);
        CheckOutcome(ok);
        model = value.substr(0, strlen(value.c_str()));
        if (maxLength != DynString::kAll && model.size() > maxLength) {
          model.resize(maxLength);
        }
        if (maxLength == 0 || !ok) model.clear();
        break;
      }
      case 1: {  // assign a piece of its own text
        size_t from = model.empty() ? 0 : input.Byte() % (model.size() + 1);
        uint32_t maxLength = input.Byte() % 40;
        bool ok = text.Assign(text.Text() + from, maxLength);
        CheckOutcome(ok);
        // The text may hold NULs that a buffer write put there: Assign
        // stops at the first.
        std::string source = model.substr(from);
        model = source.substr(0, strlen(source.c_str())).substr(0, maxLength);
        if (maxLength == 0 || !ok) model.clear();
        break;
      }
      case 2: {  // write into a buffer of a given size, then settle it
        uint32_t wanted = input.Byte() % 60;
        char* buffer = text.OpenBuffer(wanted);
        CheckOutcome(buffer != nullptr);
        if (buffer == nullptr) {
          model.clear();
          break;
        }
        std::string written = input.Bytes(wanted);
        memcpy(buffer, written.data(), written.size());
        uint32_t length = input.Byte() % 70;
        gFailNext = (input.Byte() & 1) != 0;
        bool ok = text.CloseBuffer(length);
        CheckOutcome(ok);
        // The bytes beyond what was written are the buffer's old ones: only
        // the written part is known.
        if (!ok) {
          model.clear();
        } else if (length <= written.size()) {
          model = written.substr(0, length);
        } else {
          model.assign(text.Text(), text.Length());
          if (model.compare(0, written.size(), written) != 0) abort();
        }
        break;
      }
      case 3: {  // write into the present buffer up to a NUL
        char* buffer = text.OpenBuffer(DynString::kAll);
        CheckOutcome(buffer != nullptr);
        if (buffer == nullptr) {
          model.clear();
          break;
        }
        std::string written = input.Bytes(input.Byte() % text.Capacity());
        memcpy(buffer, written.data(), written.size());
        if (input.Byte() & 1) buffer[written.size()] = '\0';
        gFailNext = (input.Byte() & 1) != 0;
        bool ok = text.CloseBuffer(DynString::kAll);
        CheckOutcome(ok);
        if (!ok) {
          model.clear();
        } else {
          model.assign(text.Text(), text.Length());
          if (model.size() < strnlen(written.c_str(), written.size())) abort();
        }
        break;
      }
      case 4:
        text.Free();
        model.clear();
        break;
      default: continue;
    }
    gFailNext = false;
    Check(text, model);
  }
  memory::SetAllocator(nullptr);
  return 0;
}
