// The benchmark's reference walker on Win32: FindFirstFileA/FindNextFileA
// over `dir\*.*`, each file's record packed into 350000-byte blocks and one
// WriteFile per block.  Its rules are kavelo's, so its file equals
// kavelo.exe's but for the 4-byte database time:
//   - names beginning with '.' are passed over;
//   - a name the code page cannot spell (with '?') is taken by its short name;
//   - a directory whose search pattern would not fit 259 characters is left
//     out;
//   - a reparse point leading to a directory on the current path (or to one
//     that cannot be identified) is not entered;
//   - times: the local bias now applies to every date; 0 for a local reading
//     before 1900, -1 outside 1970..2038 in UTC or local.
//
//   ref_walk.exe X: OUT [flush]
//
// With `flush` it writes as kavelo does: to a temporary file beside OUT,
// flushed to the disk, then moved over OUT.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "ref_records.h"

namespace {

constexpr size_t kPathSize = MAX_PATH;
constexpr size_t kPatternTail = 4;  // "\*.*"

HANDLE gOut = INVALID_HANDLE_VALUE;
int64_t gBias = 0;

struct Level {
  const Level* parent;
  const char* path;
  mutable bool known;
  mutable bool valid;
  mutable uint64_t volume;
  mutable uint64_t index;
};

void Fail(const char* what) {
  fprintf(stderr, "%s failed: error %lu\n", what, GetLastError());
  ExitProcess(1);
}

void WriteAll(const void* bytes, size_t count) {
  DWORD done = 0;
  if (!WriteFile(gOut, bytes, static_cast<DWORD>(count), &done, nullptr) ||
      done != count) {
    Fail("WriteFile");
  }
}

uint64_t Ticks(const FILETIME& time) {
  return (static_cast<uint64_t>(time.dwHighDateTime) << 32) |
         time.dwLowDateTime;
}

int32_t StoredTime(const FILETIME& time) {
  return ref::StoredTime(Ticks(time), gBias);
}

ref::RecordBlocks gRecords(WriteAll);

void AddRecord(const char* directory, size_t length, const char* name,
               size_t nameLength, const WIN32_FIND_DATAA& data) {
  const int32_t times[3] = {StoredTime(data.ftLastWriteTime),
                            StoredTime(data.ftCreationTime),
                            StoredTime(data.ftLastAccessTime)};
  gRecords.Add(directory, length, name, nameLength, times, data.nFileSizeLow);
}

bool Identify(const char* path, uint64_t* volume, uint64_t* index) {
  char root[4] = {path[0], ':', '\\', '\0'};  // `X:` alone is not the root
  HANDLE file =
      CreateFileA(path[1] == ':' && path[2] == '\0' ? root : path, 0,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  BOOL ok = GetFileInformationByHandle(file, &info);
  CloseHandle(file);
  if (!ok) return false;
  *volume = info.dwVolumeSerialNumber;
  *index =
      (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return true;
}

bool LeadsBack(const char* path, const Level* level) {
  uint64_t volume, index;
  if (!Identify(path, &volume, &index)) return true;
  for (; level != nullptr; level = level->parent) {
    if (!level->known) {
      level->valid = Identify(level->path, &level->volume, &level->index);
      level->known = true;
    }
    if (level->valid && level->volume == volume && level->index == index) {
      return true;
    }
  }
  return false;
}

void Walk(const char* directory, size_t length, const Level* self) {
  char buffer[kPathSize];
  if (length + kPatternTail >= kPathSize) return;
  memcpy(buffer, directory, length);
  memcpy(buffer + length, "\\*.*", kPatternTail + 1);
  WIN32_FIND_DATAA data;
  HANDLE search = FindFirstFileA(buffer, &data);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    const char* name = data.cAlternateFileName[0] != '\0' &&
                               strchr(data.cFileName, '?') != nullptr
                           ? data.cAlternateFileName
                           : data.cFileName;
    if (name[0] == '.') continue;
    size_t nameLength = strlen(name);
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      AddRecord(directory, length, name, nameLength, data);
      continue;
    }
    if (length + 1 + nameLength + kPatternTail >= kPathSize) continue;
    memcpy(buffer, directory, length);
    buffer[length] = '\\';
    memcpy(buffer + length + 1, name, nameLength + 1);
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
        LeadsBack(buffer, self)) {
      continue;
    }
    Level child = {self, buffer, false, false, 0, 0};
    Walk(buffer, length + 1 + nameLength, &child);
  } while (FindNextFileA(search, &data));
  FindClose(search);
}

}  // namespace

int main(int argc, char** argv) {
  bool flush = argc == 4 && strcmp(argv[3], "flush") == 0;
  if ((argc != 3 && !flush) || strlen(argv[1]) != 2 || argv[1][1] != ':') {
    fprintf(stderr, "usage: ref_walk.exe X: OUT [flush]\n");
    return 2;
  }
  char written[kPathSize];
  if (snprintf(written, sizeof written, flush ? "%s.tmp" : "%s", argv[2]) >=
      static_cast<int>(sizeof written)) {
    Fail("the output's name");
  }
  SetErrorMode(SEM_FAILCRITICALERRORS);
  FILETIME utc, local;
  GetSystemTimeAsFileTime(&utc);
  if (FileTimeToLocalFileTime(&utc, &local)) {
    gBias = static_cast<int64_t>(Ticks(local) - Ticks(utc)) /
            static_cast<int64_t>(ref::kTicksPerSecond);
  }
  int64_t now = static_cast<int64_t>(Ticks(utc) / ref::kTicksPerSecond) -
                ref::kSeconds1601To1970;

  gOut = CreateFileA(written, GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                     CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (gOut == INVALID_HANDLE_VALUE) Fail("CreateFileA");
  uint8_t header[ref::kHeaderSize];
  ref::PutHeader(argv[1][0], static_cast<uint32_t>(now), header);
  WriteAll(header, sizeof header);

  Level root = {nullptr, argv[1], false, false, 0, 0};
  Walk(argv[1], 2, &root);
  gRecords.Finish();
  if (flush && !FlushFileBuffers(gOut)) Fail("FlushFileBuffers");
  if (!CloseHandle(gOut)) Fail("CloseHandle");
  if (flush &&
      !MoveFileExA(written, argv[2],
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    Fail("MoveFileExA");
  }
  return 0;
}
