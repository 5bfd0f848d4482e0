#include "app/settings.h"

#include <cstring>

#include "app/options.h"
#include "platform/platform.h"
#include "support/reg_key.h"

namespace {

constexpr char kSettingsKey[] = "Software\\Pelmar\\Database";
// Open an existing key only, to query values, enumerate and be notified.
constexpr uint32_t kSettingsAccess = 0x69;

// Copies `text` into `buffer` of `size` when it fits; false otherwise (the
// buffer is then left empty).
bool CopyIfFits(const DynString& text, char* buffer, size_t size) {
  if (text.Length() >= size) {
    buffer[0] = '\0';
    return false;
  }
  memcpy(buffer, text.Text(), text.Length() + 1);
  return true;
}

// Whether a file can be made at `path`: made and deleted again.
bool CanCreate(const char* path) {
  platform::FileHandle* file = platform::CreateFileForWriting(path);
  if (file == nullptr) return false;
  platform::CloseFile(file);
  platform::DeleteFileAt(path);
  return true;
}

}  // namespace

int LastIndexOf(const char* text, char character) {
  int last = -1;
  for (int i = 0; text[i] != '\0'; ++i) {
    if (text[i] == character) last = i;
  }
  return last;
}

void DefaultDatabasePath(const char* programPath, char separator, char* out) {
  static const char kName[] = "FILES.DBS";
  size_t directory =
      static_cast<size_t>(LastIndexOf(programPath, separator) + 1);
  if (directory + sizeof kName > kDatabasePathSize) directory = 0;
  memcpy(out, programPath, directory);
  memcpy(out + directory, kName, sizeof kName);
}

bool PathExists(const char* path) {
  platform::FindEntry entry;
  platform::FindHandle* search = platform::FindFirst(path, &entry);
  if (search == nullptr) return false;
  bool exists = true;
  while (entry.attributes == platform::kAttributeDirectory) {
    if (!platform::FindNext(search, &entry)) {
      exists = false;
      break;
    }
  }
  platform::FindEnd(search);
  return exists;
}

bool ReadSettings(const char* programPath, char* databasePath,
                  char* driveSpecification, DynString* overlongDrives) {
  bool drivesFit = true;
  {
    RegKey key;
    DynString value;
    if (key.Open(platform::CurrentUserRoot(), kSettingsKey, kSettingsAccess,
                 nullptr) == platform::kErrorSuccess) {
      if (databasePath != nullptr) {
        key.QueryString("DatabaseFile", &value);
        // A stored path too long for the buffer names no file that can be
        // created: the default takes its place below.
        CopyIfFits(value, databasePath, kDatabasePathSize);
      }
      if (driveSpecification != nullptr) {
        value.Free();
        key.QueryString("Drives", &value);
        if (!CopyIfFits(value, driveSpecification, kDriveSpecificationSize)) {
          drivesFit = false;
          overlongDrives->Assign(value.Text(), DynString::kAll);
        }
      }
    }
  }
  if (databasePath != nullptr && !PathExists(databasePath) &&
      !CanCreate(databasePath)) {
    DefaultDatabasePath(programPath, platform::kNativePathSeparator,
                        databasePath);
  }
  if (driveSpecification != nullptr && driveSpecification[0] == '\0') {
    strcpy(driveSpecification, "1");
  }
  return drivesFit;
}
