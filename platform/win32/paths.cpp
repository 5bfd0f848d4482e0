// The way from a recorded 8-bit path back to the real directory.
//
// The core hands the search 8-bit paths that it built from recorded names,
// and may search a directory on another thread, and long after, than the
// one whose search reported it (the read-ahead workers).  Nothing travels
// with the path, so the way back lives here, shared by every thread: a
// table from the recorded path of each directory reported under an inexact
// spelling without a short name to its real path.  Every other name opens
// its entry through its own spelling, so a path resolves by replacing its
// longest remembered leading directory and converting the rest.  The table
// stays empty on most volumes (names outside the code page mostly have
// short names, or do not occur), and then costs one atomic load a search.
//
// Entries are kept for the process's life: they are few, a run walks each
// drive once, and a directory's path may be searched more than once (a
// read-ahead left to the walk, a retry, an identity asked for a link).
#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/win32/names.h"

namespace platform::win32 {
namespace {

constexpr size_t kLongestWidePath = 32767;

struct Remembered {
  Remembered* next;
  uint32_t hash;
  uint32_t keyLength;
  size_t valueLength;
  wchar_t* value;  // the real path, without `\\?\`
  char key[kPathSize];
};

constexpr size_t kBuckets = 1024;
std::mutex gLock;
Remembered* gBuckets[kBuckets];  // guarded by gLock
std::atomic<size_t> gCount{0};

uint32_t Hash(const char* text, size_t length, uint32_t hash = 2166136261u) {
  for (size_t i = 0; i < length; ++i) {
    hash = (hash ^ static_cast<uint8_t>(text[i])) * 16777619u;
  }
  return hash;
}

// The entry for `key` and the link that points at it; gLock held.
Remembered** Find(const char* key, size_t length, uint32_t hash) {
  Remembered** link = &gBuckets[hash % kBuckets];
  while (*link != nullptr &&
         ((*link)->hash != hash || (*link)->keyLength != length ||
          memcmp((*link)->key, key, length) != 0)) {
    link = &(*link)->next;
  }
  return link;
}

void Forget(const char* key, size_t length) {
  if (gCount.load(std::memory_order_acquire) == 0) return;
  std::lock_guard<std::mutex> guard(gLock);
  Remembered** link = Find(key, length, Hash(key, length));
  if (*link == nullptr) return;
  Remembered* gone = *link;
  *link = gone->next;
  gCount.fetch_sub(1, std::memory_order_release);
  free(gone->value);
  free(gone);
}

void Remember(const char* key, size_t length, const WidePath& real) {
  auto* entry = static_cast<Remembered*>(malloc(sizeof(Remembered)));
  size_t bytes = (real.Length() + 1) * sizeof(wchar_t);
  auto* value = static_cast<wchar_t*>(malloc(bytes));
  if (entry == nullptr || value == nullptr) {
    // The directory is then searched by its spelling, as the ANSI search
    // did, and found or not.
    free(entry);
    free(value);
    return;
  }
  memcpy(value, real.Text(), bytes);
  entry->hash = Hash(key, length);
  entry->keyLength = static_cast<uint32_t>(length);
  entry->valueLength = real.Length();
  entry->value = value;
  memcpy(entry->key, key, length);
  std::lock_guard<std::mutex> guard(gLock);
  Remembered** link = Find(key, length, entry->hash);
  if (*link != nullptr) {
    free(entry->value);
    free(entry);
    return;  // another thread noted it meanwhile
  }
  entry->next = nullptr;
  *link = entry;
  gCount.fetch_add(1, std::memory_order_release);
}

bool IsLetter(char c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; }

// A drive path as the walk builds them: `X:`, then `\name` parts, none
// beginning with a dot (the walk enters no such name) and none empty, no `/`.
// `\\?\` takes it as it is; any other path goes through the usual
// normalisation.
bool TakesVerbatimForm(const char* path, size_t length) {
  if (length < 2 || !IsLetter(path[0]) || path[1] != ':') return false;
  if (length > 2 && path[2] != '\\') return false;
  for (size_t i = 2; i < length; ++i) {
    if (path[i] == '/') return false;
    if (path[i] == '\\' &&
        (i + 1 == length || path[i + 1] == '\\' || path[i + 1] == '.')) {
      return false;
    }
  }
  return true;
}

}  // namespace

WidePath::~WidePath() {
  if (text_ != inline_) free(text_);
}

bool WidePath::Reserve(size_t length) {
  if (length + 1 <= capacity_) return true;
  if (length > kLongestWidePath) return false;
  size_t capacity = kLongestWidePath + 1;
  auto* text = static_cast<wchar_t*>(malloc(capacity * sizeof(wchar_t)));
  if (text == nullptr) return false;
  memcpy(text, text_, (length_ + 1) * sizeof(wchar_t));
  if (text_ != inline_) free(text_);
  text_ = text;
  capacity_ = capacity;
  return true;
}

bool WidePath::Append(const wchar_t* text, size_t length) {
  if (!Reserve(length_ + length)) return false;
  memcpy(text_ + length_, text, length * sizeof(wchar_t));
  length_ += length;
  text_[length_] = L'\0';
  return true;
}

bool WidePath::AppendAnsi(const char* text, size_t length) {
  // An 8-bit character never makes more than one UTF-16 unit.
  if (length == 0) return true;
  if (!Reserve(length_ + length)) return false;
  int chars = MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(length),
                                  text_ + length_, static_cast<int>(length));
  if (chars <= 0) return false;
  length_ += static_cast<size_t>(chars);
  text_[length_] = L'\0';
  return true;
}

bool ResolvePath(const char* path, size_t length, WidePath* out) {
  if (TakesVerbatimForm(path, length) && !out->Append(L"\\\\?\\", 4)) {
    return false;
  }
  if (gCount.load(std::memory_order_acquire) != 0) {
    // The hash of each leading directory, taken in one pass; then the
    // longest one remembered.  A `\` that is the second byte of a
    // double-byte letter makes a false boundary, but no remembered path
    // ends in half a letter, so none matches there.
    size_t ends[kPathSize / 2];
    uint32_t hashes[kPathSize / 2];
    size_t count = 0;
    uint32_t hash = Hash(path, 0);
    size_t from = 0;
    for (size_t i = 0; i <= length && count < kPathSize / 2; ++i) {
      if (i < length && path[i] != '\\') continue;
      hash = Hash(path + from, i - from, hash);
      from = i;
      ends[count] = i;
      hashes[count++] = hash;
    }
    std::lock_guard<std::mutex> guard(gLock);
    while (count-- > 0) {
      Remembered* found = *Find(path, ends[count], hashes[count]);
      if (found != nullptr) {
        return out->Append(found->value, found->valueLength) &&
               out->AppendAnsi(path + ends[count], length - ends[count]);
      }
    }
  }
  return out->AppendAnsi(path, length);
}

void NoteDirectory(const char* directory, size_t directoryLength,
                   const char* name, size_t nameLength, const wchar_t* wideName,
                   NameRule rule) {
  // Nothing to forget and nothing to remember: most directories, at the
  // cost of one load.
  if (rule != NameRule::kInexact &&
      gCount.load(std::memory_order_acquire) == 0) {
    return;
  }
  char key[kPathSize];
  size_t length = directoryLength + 1 + nameLength;
  if (length >= kPathSize) return;  // too long to be searched
  memcpy(key, directory, directoryLength);
  key[directoryLength] = '\\';
  memcpy(key + directoryLength + 1, name, nameLength);
  Forget(key, length);
  if (rule != NameRule::kInexact) return;
  // Where the spelling names another directory (`a` beside `ā`), the ANSI
  // functions enter that one for both; so does the walk, rather than lose a
  // directory whose name the code page spells exactly.
  WidePath spelled;
  if (!ResolvePath(key, length, &spelled)) return;
  DWORD attributes = GetFileAttributesW(spelled.Text());
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return;
  }
  WidePath real;
  if (!ResolvePath(directory, directoryLength, &real)) return;
  // Remembered without `\\?\`, which a later resolution adds.
  size_t skip = wcsncmp(real.Text(), L"\\\\?\\", 4) == 0 ? 4 : 0;
  WidePath value;
  if (value.Append(real.Text() + skip, real.Length() - skip) &&
      value.Append(L"\\", 1) && value.Append(wideName, wcslen(wideName))) {
    Remember(key, length, value);
  }
}

}  // namespace platform::win32
