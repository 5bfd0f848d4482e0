// The platform layer on POSIX: Win32's drive, search, time and file calls
// emulated over a drive table that maps letters to directories.
#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <vector>

#include "platform/drive_table.h"
#include "platform/key_sequences.h"
#include "platform/reg_file.h"
#include "platform/platform.h"

namespace platform {

const char kNativePathSeparator = '/';

namespace {

constexpr int64_t kSeconds1601To1970 = 11644473600;
constexpr uint64_t kTicksPerSecond = 10000000;
constexpr size_t kNativePathSize = 4096;

DriveTable gDrives = BuiltInDriveTable();
RegistryKeys gRegistry;

// Kernel file systems that hold no files worth listing, as locate's updatedb
// prunes them; their mount points are left out of every directory search.
constexpr const char* kPrunedFileSystems[] = {
    "proc",     "sysfs",      "devtmpfs",  "devpts", "cgroup",
    "cgroup2",  "debugfs",    "tracefs",   "securityfs", "pstore",
    "bpf",      "configfs",   "fusectl",   "mqueue", "hugetlbfs",
    "binfmt_misc", "autofs"};

std::vector<dev_t> gPrunedDevices;
bool gPrunedDevicesKnown = false;

void LoadPrunedDevices() {
  gPrunedDevicesKnown = true;
  FILE* mounts = fopen("/proc/self/mountinfo", "re");
  if (mounts == nullptr) return;
  char line[4096];
  while (fgets(line, sizeof line, mounts) != nullptr) {
    // "36 35 98:0 /root /mount opts... - fstype source opts"
    unsigned major = 0, minor = 0;
    if (sscanf(line, "%*u %*u %u:%u", &major, &minor) != 2) continue;
    const char* separator = strstr(line, " - ");
    if (separator == nullptr) continue;
    char type[64];
    if (sscanf(separator + 3, "%63s", type) != 1) continue;
    for (const char* pruned : kPrunedFileSystems) {
      if (strcmp(type, pruned) == 0) {
        gPrunedDevices.push_back(makedev(major, minor));
      }
    }
  }
  fclose(mounts);
}

bool IsPrunedDevice(dev_t device) {
  if (!gPrunedDevicesKnown) LoadPrunedDevices();
  for (dev_t pruned : gPrunedDevices) {
    if (pruned == device) return true;
  }
  return false;
}

int DriveIndex(char letter) {
  if (letter >= 'a' && letter <= 'z') return letter - 'a';
  if (letter >= 'A' && letter <= 'Z') return letter - 'A';
  return -1;
}

// `X:` or `X:\...`: a path on a drive of the table.
bool IsDrivePath(const char* path, size_t length) {
  return length >= 2 && DriveIndex(path[0]) >= 0 && path[1] == ':' &&
         (length == 2 || path[2] == '\\');
}

// The native path for the first `length` characters of `path`: a drive
// path becomes the drive's root plus the rest with `/` separators; any other
// path is taken as native already.  False when the drive does not exist or
// the result does not fit.
bool NativePath(const char* path, size_t length, char* out) {
  if (!IsDrivePath(path, length)) {
    if (length >= kNativePathSize) return false;
    memcpy(out, path, length);
    out[length] = '\0';
    return true;
  }
  int index = DriveIndex(path[0]);
  if (gDrives.type[index] == kDriveUnknown) return false;
  const std::string& root = gDrives.root[index];
  const char* rest = path + 2;
  size_t restLength = length - 2;
  if (root.size() + restLength + 2 > kNativePathSize) return false;
  memcpy(out, root.data(), root.size());
  char* end = out + root.size();
  for (size_t i = 0; i < restLength; ++i) {
    *end++ = rest[i] == '\\' ? '/' : rest[i];
  }
  if (end == out) *end++ = '/';  // the root directory `/` itself
  *end = '\0';
  return true;
}

bool NativePath(const char* path, char* out) {
  return NativePath(path, strlen(path), out);
}

FileTime FileTimeFrom(const struct statx_timestamp& stamp) {
  // FILETIME counts 100 ns ticks since 1601; nothing before it exists.
  if (stamp.tv_sec < -kSeconds1601To1970) return {0, 0};
  uint64_t ticks =
      static_cast<uint64_t>(stamp.tv_sec + kSeconds1601To1970) *
          kTicksPerSecond +
      stamp.tv_nsec / 100;
  return {static_cast<uint32_t>(ticks), static_cast<uint32_t>(ticks >> 32)};
}

void CopyName(const char* name, FindEntry* entry) {
  size_t length = strlen(name);
  if (length >= sizeof entry->name) length = sizeof entry->name - 1;
  memcpy(entry->name, name, length);
  entry->name[length] = '\0';
  entry->alternateName[0] = '\0';
}

void FillFromStatx(const struct statx& info, FindEntry* entry) {
  entry->lastWriteTime = FileTimeFrom(info.stx_mtime);
  entry->lastAccessTime = FileTimeFrom(info.stx_atime);
  // Where the file system keeps no birth time, the last-write time stands in:
  // a file cannot have been created after it was last written.
  entry->creationTime = (info.stx_mask & STATX_BTIME) != 0
                            ? FileTimeFrom(info.stx_btime)
                            : entry->lastWriteTime;
  entry->sizeLow = static_cast<uint32_t>(info.stx_size);
  entry->sizeHigh = static_cast<uint32_t>(info.stx_size >> 32);
  bool directory = S_ISDIR(info.stx_mode);
  entry->attributes = directory ? kAttributeDirectory : kAttributeArchive;
  if ((info.stx_mode & S_IWUSR) == 0) {
    entry->attributes |= kAttributeReadOnly;
  }
}

constexpr unsigned kStatxMask =
    STATX_TYPE | STATX_MODE | STATX_SIZE | STATX_ATIME | STATX_MTIME |
    STATX_BTIME;

// Fills `entry` for `name` in the open directory `directory`.  False when
// the entry is to be passed over (it vanished, or it is a pruned mount).
bool DescribeEntry(int directory, const char* name, FindEntry* entry) {
  struct statx info;
  if (statx(directory, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT,
            kStatxMask, &info) != 0) {
    return false;
  }
  if (S_ISLNK(info.stx_mode)) {
    // A link stands for its target, and carries the reparse-point bit as a
    // Win32 symbolic link does; a dangling link is a file of its own.
    struct statx target;
    if (statx(directory, name, AT_NO_AUTOMOUNT, kStatxMask, &target) == 0) {
      info = target;
    }
    FillFromStatx(info, entry);
    entry->attributes |= kAttributeReparsePoint;
  } else {
    FillFromStatx(info, entry);
  }
  if (S_ISDIR(info.stx_mode) &&
      IsPrunedDevice(makedev(info.stx_dev_major, info.stx_dev_minor))) {
    return false;
  }
  CopyName(name, entry);
  return true;
}

}  // namespace

struct FindHandle {
  DIR* directory;  // null for the search of one named entry
};

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

bool Initialize(char* message, size_t messageSize) {
  bool named = false;
  bool found = false;
  std::string text;
  std::string error;

  std::string drives = ConfigurationFile("KAVELO_DRIVES", "drives", &named);
  gDrives = BuiltInDriveTable();
  if (!ReadConfiguration(drives, "drive table", &text, &found, message,
                         messageSize)) {
    return false;
  }
  if (!found && named) {
    snprintf(message, messageSize, "Cannot read drive table %s: %s.\n",
             drives.c_str(), strerror(ENOENT));
    return false;
  }
  if (found && !ParseDriveTable(text, drives, &gDrives, &error)) {
    snprintf(message, messageSize, "%s", error.c_str());
    return false;
  }

  // A missing registry file is a registry without keys.
  std::string registry =
      ConfigurationFile("KAVELO_REGISTRY", "user.reg", &named);
  text.clear();
  gRegistry.clear();
  if (!ReadConfiguration(registry, "registry file", &text, &found, message,
                         messageSize)) {
    return false;
  }
  if (found && !ParseRegistryFile(text, registry, &gRegistry, &error)) {
    snprintf(message, messageSize, "%s", error.c_str());
    return false;
  }
  return true;
}

uint32_t DriveType(const char* root) {
  int index = DriveIndex(root[0]);
  if (index < 0 || root[1] != ':') return kDriveNoRootDir;
  uint32_t type = gDrives.type[index];
  return type == kDriveUnknown ? kDriveNoRootDir : type;
}

bool VolumeIsReady(const char* root) {
  char native[kNativePathSize];
  struct stat info;
  return DriveType(root) != kDriveNoRootDir && NativePath(root, native) &&
         stat(native, &info) == 0 && S_ISDIR(info.st_mode);
}

uint32_t LogicalDriveStrings(uint32_t size, char* buffer) {
  uint32_t needed = 0;
  for (int i = 0; i < 26; ++i) {
    if (gDrives.type[i] != kDriveUnknown) needed += 4;
  }
  // Win32 reports the size it needs, without the final NUL, and writes
  // nothing when the buffer is too small.
  if (needed + 1 > size) return needed + 1;
  char* out = buffer;
  for (int i = 0; i < 26; ++i) {
    if (gDrives.type[i] == kDriveUnknown) continue;
    *out++ = static_cast<char>('A' + i);
    *out++ = ':';
    *out++ = '\\';
    *out++ = '\0';
  }
  *out = '\0';
  return needed;
}

FindHandle* FindFirst(const char* pattern, FindEntry* entry) {
  size_t length = strlen(pattern);
  char native[kNativePathSize];
  bool wildcard = length >= 4 && strcmp(pattern + length - 4, "\\*.*") == 0;
  if (!wildcard) {
    // A named entry: the search finds that one entry or nothing.
    if (!NativePath(pattern, length, native)) return nullptr;
    const char* slash = strrchr(native, '/');
    const char* name = slash == nullptr ? native : slash + 1;
    if (name[0] == '\0' || !DescribeEntry(AT_FDCWD, native, entry)) {
      return nullptr;
    }
    CopyName(name, entry);  // the entry's own name, as Win32 reports it
    return new (std::nothrow) FindHandle{nullptr};
  }

  if (!NativePath(pattern, length - 4, native)) return nullptr;
  int descriptor = open(native, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (descriptor < 0) return nullptr;
  struct stat info;
  if (fstat(descriptor, &info) != 0 || IsPrunedDevice(info.st_dev)) {
    close(descriptor);
    return nullptr;
  }
  DIR* directory = fdopendir(descriptor);
  if (directory == nullptr) {
    close(descriptor);
    return nullptr;
  }
  auto* search = new (std::nothrow) FindHandle{directory};
  if (search == nullptr) {
    closedir(directory);
    return nullptr;
  }
  // Win32 fails a search that finds nothing at all.
  if (!FindNext(search, entry)) {
    FindEnd(search);
    return nullptr;
  }
  return search;
}

bool FindNext(FindHandle* search, FindEntry* entry) {
  if (search->directory == nullptr) return false;
  int descriptor = dirfd(search->directory);
  while (struct dirent* found = readdir(search->directory)) {
    if (found->d_name[0] == '.') {
      // Names with a leading dot (".", ".." and hidden names alike) are
      // reported by name and kind only: the walk passes them over unseen,
      // and a system call for each would cost as much as the rest.
      CopyName(found->d_name, entry);
      entry->attributes =
          found->d_type == DT_DIR ? kAttributeDirectory : kAttributeArchive;
      entry->creationTime = entry->lastAccessTime = entry->lastWriteTime =
          FileTime{0, 0};
      entry->sizeHigh = entry->sizeLow = 0;
      return true;
    }
    if (DescribeEntry(descriptor, found->d_name, entry)) return true;
  }
  return false;
}

void FindEnd(FindHandle* search) {
  if (search->directory != nullptr) closedir(search->directory);
  delete search;
}

bool GetDirectoryId(const char* path, DirectoryId* id) {
  char native[kNativePathSize];
  struct stat info;
  if (!NativePath(path, native) || stat(native, &info) != 0 ||
      !S_ISDIR(info.st_mode)) {
    return false;
  }
  *id = {static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
  return true;
}

bool FileTimeToLocal(const FileTime& utc, FileTime* local) {
  // As on Win32, the bias in effect now serves every date.
  time_t now = time(nullptr);
  struct tm fields;
  int64_t bias = localtime_r(&now, &fields) != nullptr ? fields.tm_gmtoff : 0;
  uint64_t ticks = (static_cast<uint64_t>(utc.high) << 32) | utc.low;
  int64_t shifted = static_cast<int64_t>(ticks) +
                    bias * static_cast<int64_t>(kTicksPerSecond);
  if (ticks >> 63 || shifted < 0) return false;
  *local = {static_cast<uint32_t>(shifted),
            static_cast<uint32_t>(static_cast<uint64_t>(shifted) >> 32)};
  return true;
}

// A file handle is the descriptor plus one, so that null means none.
FileHandle* CreateFileForWriting(const char* path) {
  char native[kNativePathSize];
  if (!NativePath(path, native)) return nullptr;
  int descriptor =
      open(native, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (descriptor < 0) return nullptr;
  return reinterpret_cast<FileHandle*>(static_cast<intptr_t>(descriptor) + 1);
}

static int Descriptor(FileHandle* file) {
  return static_cast<int>(reinterpret_cast<intptr_t>(file) - 1);
}

bool WriteToFile(FileHandle* file, const void* bytes, uint32_t count,
                 uint32_t* written) {
  // WriteFile on a disk file writes everything or fails; write(2) may stop
  // short, so go on until it is done or reports an error.
  const char* next = static_cast<const char*>(bytes);
  uint32_t done = 0;
  while (done < count) {
    ssize_t got = write(Descriptor(file), next + done, count - done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += static_cast<uint32_t>(got);
  }
  *written = done;
  return done == count;
}

bool CloseFile(FileHandle* file) { return close(Descriptor(file)) == 0; }

bool DeleteFileAt(const char* path) {
  char native[kNativePathSize];
  return NativePath(path, native) && unlink(native) == 0;
}

bool MoveFileReplacing(const char* from, const char* to) {
  char nativeFrom[kNativePathSize];
  char nativeTo[kNativePathSize];
  return NativePath(from, nativeFrom) && NativePath(to, nativeTo) &&
         rename(nativeFrom, nativeTo) == 0;
}

bool IsSpecialFile(const char* path) {
  char native[kNativePathSize];
  struct stat info;
  return NativePath(path, native) && stat(native, &info) == 0 &&
         !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode);
}

struct RegistryHandle {
  std::string path;  // the full key path, from HKEY_CURRENT_USER
};

namespace {

RegistryHandle gCurrentUser = {"HKEY_CURRENT_USER"};

std::string SubkeyPath(RegistryHandle* root, const char* path) {
  std::string full = root->path;
  if (path != nullptr && path[0] != '\0') full += std::string("\\") + path;
  return full;
}

}  // namespace

RegistryHandle* CurrentUserRoot() { return &gCurrentUser; }

uint32_t RegistryOpen(RegistryHandle* root, const char* path, uint32_t,
                      RegistryHandle** key) {
  *key = nullptr;
  std::string full = SubkeyPath(root, path);
  if (gRegistry.find(full) == gRegistry.end()) return kErrorFileNotFound;
  *key = new (std::nothrow) RegistryHandle{full};
  return *key != nullptr ? kErrorSuccess : kErrorOutOfMemory;
}

uint32_t RegistryCreate(RegistryHandle* root, const char* path, uint32_t,
                        uint32_t, void*, RegistryHandle** key) {
  // The key is made in memory only: kavelo never writes the registry.
  std::string full = SubkeyPath(root, path);
  gRegistry[full];
  *key = new (std::nothrow) RegistryHandle{full};
  return *key != nullptr ? kErrorSuccess : kErrorOutOfMemory;
}

uint32_t RegistryQuery(RegistryHandle* key, const char* name, void* data,
                       uint32_t* size) {
  auto found = gRegistry.find(key->path);
  if (found == gRegistry.end()) return kErrorFileNotFound;
  auto value = found->second.find(name != nullptr ? name : "");
  if (value == found->second.end()) return kErrorFileNotFound;
  uint32_t needed = static_cast<uint32_t>(value->second.size());
  // As RegQueryValueExA: too small a buffer gets the size it needs.
  if (data != nullptr && needed > *size) {
    *size = needed;
    return kErrorMoreData;
  }
  if (data != nullptr) memcpy(data, value->second.data(), needed);
  *size = needed;
  return kErrorSuccess;
}

uint32_t RegistryClose(RegistryHandle* key) {
  if (key != &gCurrentUser) delete key;
  return kErrorSuccess;
}

void UpperCase(char* text) {
  for (; *text != '\0'; ++text) {
    if (*text >= 'a' && *text <= 'z') *text = static_cast<char>(*text - 32);
  }
}

namespace {

// A lone ESC, or the start of a sequence?  Terminals send a sequence's bytes
// together; a person cannot type the next key this fast.
constexpr int kSequenceWaitMs = 50;
constexpr int kEscapeKey = 0x1B;

int gTerminal = -1;
struct termios gSaved;
volatile sig_atomic_t gRawMode = 0;
int gPendingCode = -1;  // the second value of an extended key

constexpr int kRestoredSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
struct sigaction gPrevious[sizeof kRestoredSignals / sizeof(int)];

// Puts the terminal back before the signal does its usual work, so that an
// interrupted read never leaves the user's shell without echo.
void RestoreAndRaise(int signal) {
  if (gRawMode) tcsetattr(gTerminal, TCSAFLUSH, &gSaved);
  gRawMode = 0;
  for (size_t i = 0; i < sizeof kRestoredSignals / sizeof(int); ++i) {
    if (kRestoredSignals[i] == signal) sigaction(signal, &gPrevious[i], nullptr);
  }
  raise(signal);
}

// One byte from the terminal, waiting at most `timeoutMs` (-1: for ever).
// -1 on end of input, a read error or the timeout.
int ReadByte(int timeoutMs) {
  struct pollfd ready = {gTerminal, POLLIN, 0};
  for (;;) {
    int polled = poll(&ready, 1, timeoutMs);
    if (polled < 0 && errno == EINTR) continue;
    if (polled <= 0) return -1;
    unsigned char byte;
    ssize_t got = read(gTerminal, &byte, 1);
    if (got < 0 && errno == EINTR) continue;
    return got == 1 ? byte : -1;
  }
}

// Reads one key in raw mode: its character, or for a key without one the
// lead, with its extended code left in gPendingCode.
int ReadRawKey() {
  int first = ReadByte(-1);
  if (first != kEscapeKey) return first;
  unsigned char sequence[16] = {kEscapeKey};
  size_t length = 1;
  int lead = 0;
  int code = 0;
  for (;;) {
    SequenceMatch match = DecodeKeySequence(sequence, length, &lead, &code);
    if (match == SequenceMatch::Key) {
      gPendingCode = code;
      return lead;
    }
    if (match == SequenceMatch::Unknown || length == sizeof sequence) break;
    int next = ReadByte(kSequenceWaitMs);
    if (next < 0) break;
    sequence[length++] = static_cast<unsigned char>(next);
  }
  // An escape alone, or a sequence no key sends: taken whole as the escape
  // key, so that none of its letters answers the prompt.
  while (length > 1 && ReadByte(0) >= 0) {
  }
  return kEscapeKey;
}

}  // namespace

int ReadKey() {
  if (gPendingCode >= 0) {
    int code = gPendingCode;
    gPendingCode = -1;
    return code;
  }
  if (gTerminal < 0) {
    gTerminal = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (gTerminal < 0) return -1;
  }
  if (tcgetattr(gTerminal, &gSaved) != 0) return -1;
  struct termios raw = gSaved;
  // As _getch: no line input, no echo, Ctrl+C and Ctrl+S as characters,
  // Enter as carriage return.
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
  raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL | INLCR | IGNCR);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;

  struct sigaction restore = {};
  restore.sa_handler = RestoreAndRaise;
  sigemptyset(&restore.sa_mask);
  for (size_t i = 0; i < sizeof kRestoredSignals / sizeof(int); ++i) {
    sigaction(kRestoredSignals[i], &restore, &gPrevious[i]);
  }
  int key = -1;
  if (tcsetattr(gTerminal, TCSANOW, &raw) == 0) {
    gRawMode = 1;
    key = ReadRawKey();
    gRawMode = 0;
    tcsetattr(gTerminal, TCSANOW, &gSaved);
  }
  for (size_t i = 0; i < sizeof kRestoredSignals / sizeof(int); ++i) {
    sigaction(kRestoredSignals[i], &gPrevious[i], nullptr);
  }
  return key;
}

}  // namespace platform
