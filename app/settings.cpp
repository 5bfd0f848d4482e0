#include "app/settings.h"

#include <cstring>

#include "app/options.h"
#include "platform/platform.h"
#include "support/reg_key.h"
#include "support/text.h"

namespace {

constexpr char kSettingsKey[] = "Software\\Pelmar\\Database";
// Open an existing key only, to query values, enumerate and be notified.
constexpr uint32_t kSettingsAccess = 0x69;

// Whether the database can be written at `path`: the file that the writer
// would write first is made and deleted again, so that a path passing the
// test can be written, and nothing at the path itself is touched.
bool CanCreate(const char* path) {
  platform::FileHandle* file = platform::CreateReplacement(path);
  if (file == nullptr) return false;
  platform::CloseFile(file);
  platform::AbandonReplacement();
  return true;
}

}  // namespace

void DefaultDatabasePath(const char* programPath, char separator, char* out) {
  static const char kName[] = "FILES.DBS";
  size_t directory =
      static_cast<size_t>(LastIndexOf(programPath, separator) + 1);
  if (directory + sizeof kName > platform::kPathSize) directory = 0;
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
        CopyIfFits(value.Text(), value.Length(), databasePath,
                   platform::kPathSize);
      }
      if (driveSpecification != nullptr) {
        value.Free();
        key.QueryString("Drives", &value);
        if (!CopyIfFits(value.Text(), value.Length(), driveSpecification,
                        kDriveSpecificationSize)) {
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
