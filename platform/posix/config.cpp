// Where the POSIX port's configuration comes from: the drive table and the
// registry file, each named by a variable or found in kavelo's
// configuration directory, read once at start.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "platform/platform.h"
#include "platform/posix/internal.h"

namespace platform {
namespace posix {
namespace {

// The file named by `variable`, else `name` in kavelo's configuration
// directory; empty when there is neither.  `*named` tells which.
std::string ConfigurationFile(const char* variable, const char* name,
                              bool* named) {
  const char* value = getenv(variable);
  *named = value != nullptr && value[0] != '\0';
  if (*named) return value;
  const char* config = getenv("XDG_CONFIG_HOME");
  if (config != nullptr && config[0] != '\0') {
    return std::string(config) + "/kavelo/" + name;
  }
  const char* home = getenv("HOME");
  if (home != nullptr && home[0] != '\0') {
    return std::string(home) + "/.config/kavelo/" + name;
  }
  return std::string();
}

// Reads `path` into `*text`.  False with a message when it exists but cannot
// be read; a missing file gives `*found` false.
bool ReadConfiguration(const std::string& path, const char* what,
                       std::string* text, bool* found, char* message,
                       size_t messageSize) {
  *found = false;
  if (path.empty()) return true;
  FILE* file = fopen(path.c_str(), "re");
  if (file == nullptr) {
    if (errno == ENOENT) return true;
    snprintf(message, messageSize, "Cannot read %s %s: %s.\n", what,
             path.c_str(), strerror(errno));
    return false;
  }
  char chunk[4096];
  size_t got;
  while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) {
    text->append(chunk, got);
  }
  bool failed = ferror(file) != 0;
  fclose(file);
  if (failed) {
    snprintf(message, messageSize, "Cannot read %s %s.\n", what, path.c_str());
    return false;
  }
  *found = true;
  return true;
}

}  // namespace

}  // namespace posix

bool Initialize(char* message, size_t messageSize) {
  bool named = false;
  bool found = false;
  std::string text;
  std::string error;

  std::string drives =
      posix::ConfigurationFile("KAVELO_DRIVES", "drives", &named);
  posix::DriveTable table = posix::BuiltInDriveTable();
  if (!posix::ReadConfiguration(drives, "drive table", &text, &found, message,
                                messageSize)) {
    return false;
  }
  if (!found && named) {
    snprintf(message, messageSize, "Cannot read drive table %s: %s.\n",
             drives.c_str(), strerror(ENOENT));
    return false;
  }
  if (found && !posix::ParseDriveTable(text, drives, &table, &error)) {
    snprintf(message, messageSize, "%s", error.c_str());
    return false;
  }

  posix::InstallDriveTable(std::move(table));

  // A missing registry file is a registry without keys.
  std::string registry =
      posix::ConfigurationFile("KAVELO_REGISTRY", "user.reg", &named);
  text.clear();
  posix::RegistryKeys keys;
  if (!posix::ReadConfiguration(registry, "registry file", &text, &found,
                                message, messageSize)) {
    return false;
  }
  if (found && !posix::ParseRegistryFile(text, registry, &keys, &error)) {
    snprintf(message, messageSize, "%s", error.c_str());
    return false;
  }
  posix::InstallRegistry(std::move(keys));
  return true;
}

}  // namespace platform
