// The database file: CreateFileA, WriteFile, FlushFileBuffers, CloseHandle
// and the replacement of one file by another over file descriptors.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "platform/posix/internal.h"

namespace platform {
namespace {

// A file handle is the descriptor plus one, so that null means none.
FileHandle* HandleOf(int descriptor) {
  return reinterpret_cast<FileHandle*>(static_cast<intptr_t>(descriptor) + 1);
}

int Descriptor(FileHandle* file) {
  return static_cast<int>(reinterpret_cast<intptr_t>(file) - 1);
}

// A replacement is flushed once whole.  Meanwhile its pages are handed to
// the disk a mebibyte at a time as they are written, so that the flush
// waits for the last ones only rather than for all of them: a warm run
// writes and flushes a 20 MB database in some 21 ms rather than 27.
constexpr off_t kWriteBackStep = 1 << 20;

struct WriteBack {
  int descriptor = -1;  // the replacement's, while it is open
  off_t written = 0;
  off_t started = 0;  // bytes handed to the disk
};
WriteBack gWriteBack;

void StartWriteBack(int descriptor, uint32_t count) {
  if (descriptor != gWriteBack.descriptor) return;
  gWriteBack.written += count;
  off_t pending = gWriteBack.written - gWriteBack.started;
  if (pending < kWriteBackStep) return;
  // Only a head start: the flush reports what fails.
  sync_file_range(descriptor, gWriteBack.started, pending,
                  SYNC_FILE_RANGE_WRITE);
  gWriteBack.started = gWriteBack.written;
}

}  // namespace

FileHandle* CreateFileForWriting(const char* path) {
  char native[posix::kNativePathSize];
  if (!posix::NativePath(path, native)) return nullptr;
  int descriptor = open(native, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (descriptor < 0) return nullptr;
  return HandleOf(descriptor);
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
  StartWriteBack(Descriptor(file), done);
  return done == count;
}

bool CloseFile(FileHandle* file) {
  if (Descriptor(file) == gWriteBack.descriptor) gWriteBack = WriteBack();
  return close(Descriptor(file)) == 0;
}

bool FlushFile(FileHandle* file) {
  while (fsync(Descriptor(file)) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

namespace {

constexpr int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr size_t kInterruptCount = sizeof kInterrupts / sizeof kInterrupts[0];
// Links followed before giving up, as the kernel's own limit.
constexpr int kMaxLinks = 40;

// The replacement under way: the file it replaces, links resolved, and the
// temporary file, whose name the interrupt handler needs.  gArmed says that
// the temporary file exists and is this process's to delete.
char gTarget[posix::kNativePathSize];
char gTemporary[posix::kNativePathSize];
volatile sig_atomic_t gArmed = 0;
unsigned gAttempts = 0;
struct sigaction gPrevious[kInterruptCount];
bool gHandled[kInterruptCount];

void DeleteAndRaise(int signal) {
  if (gArmed) unlink(gTemporary);
  gArmed = 0;
  for (size_t i = 0; i < kInterruptCount; ++i) {
    if (kInterrupts[i] == signal) sigaction(signal, &gPrevious[i], nullptr);
  }
  // Blocked until the handler returns, then it ends the process.
  raise(signal);
}

// Interrupts wait while the temporary file and the flag that names it
// change together.
void HoldInterrupts(sigset_t* previous) {
  sigset_t held;
  sigemptyset(&held);
  for (int signal : kInterrupts) sigaddset(&held, signal);
  sigprocmask(SIG_BLOCK, &held, previous);
}

void ReleaseInterrupts(const sigset_t* previous) {
  sigprocmask(SIG_SETMASK, previous, nullptr);
}

// Interrupts held.  A signal that the process ignores (a run under nohup)
// stays ignored.
void Arm() {
  struct sigaction action = {};
  action.sa_handler = DeleteAndRaise;
  sigemptyset(&action.sa_mask);
  for (int signal : kInterrupts) sigaddset(&action.sa_mask, signal);
  for (size_t i = 0; i < kInterruptCount; ++i) {
    struct sigaction current;
    gHandled[i] = sigaction(kInterrupts[i], nullptr, &current) == 0 &&
                  (current.sa_flags & SA_SIGINFO) == 0 &&
                  current.sa_handler == SIG_DFL &&
                  sigaction(kInterrupts[i], &action, &gPrevious[i]) == 0;
  }
  gArmed = 1;
}

// Interrupts held.
void Disarm() {
  gArmed = 0;
  for (size_t i = 0; i < kInterruptCount; ++i) {
    if (gHandled[i]) sigaction(kInterrupts[i], &gPrevious[i], nullptr);
    gHandled[i] = false;
  }
}

// The length of `path`'s directory part, its last `/` included.
size_t DirectoryLength(const char* path) {
  const char* slash = strrchr(path, '/');
  return slash == nullptr ? 0 : static_cast<size_t>(slash - path) + 1;
}

// Follows the links that `path` names into `out`, so that a link to a file
// is written through.  *info describes what `out` names, when *exists.
// False when the chain cannot be followed to its end.
bool FollowLinks(const char* path, char* out, struct stat* info, bool* exists) {
  size_t length = strlen(path);
  if (length == 0 || length >= posix::kNativePathSize) return false;
  memcpy(out, path, length + 1);
  for (int links = 0;; ++links) {
    if (lstat(out, info) != 0) {
      // Nothing there: the file is created, through a dangling link too.
      *exists = false;
      return errno == ENOENT;
    }
    *exists = true;
    if (!S_ISLNK(info->st_mode)) return true;
    char target[posix::kNativePathSize];
    ssize_t got = readlink(out, target, sizeof target);
    if (links == kMaxLinks || got <= 0 ||
        static_cast<size_t>(got) >= sizeof target) {
      return false;
    }
    // A relative target is relative to the link's directory.
    size_t directory = target[0] == '/' ? 0 : DirectoryLength(out);
    if (directory + static_cast<size_t>(got) >= posix::kNativePathSize) {
      return false;
    }
    memcpy(out + directory, target, static_cast<size_t>(got));
    out[directory + static_cast<size_t>(got)] = '\0';
  }
}

// The file the temporary file replaces was the user's to set up: keep its
// owner, group and permission bits, as far as the process may set them.
void TakeOwnerAndMode(int descriptor, const struct stat& replaced) {
  if (fchown(descriptor, replaced.st_uid, replaced.st_gid) != 0 &&
      fchown(descriptor, static_cast<uid_t>(-1), replaced.st_gid) != 0) {
    // Neither: the file keeps the process's own owner and group.
  }
  // After the owner: a change of owner clears the set-ID bits.
  fchmod(descriptor, replaced.st_mode & 07777);
}

}  // namespace

FileHandle* CreateReplacement(const char* path) {
  char native[posix::kNativePathSize];
  struct stat replaced;
  bool exists = false;
  if (!posix::NativePath(path, native) ||
      !FollowLinks(native, gTarget, &replaced, &exists) ||
      (exists && S_ISDIR(replaced.st_mode))) {
    return nullptr;
  }
  int directory = static_cast<int>(DirectoryLength(gTarget));
  for (int attempt = 0; attempt < 100; ++attempt) {
    int length =
        snprintf(gTemporary, sizeof gTemporary, "%.*s.kv%ld-%u.tmp", directory,
                 gTarget, static_cast<long>(getpid()), gAttempts++);
    if (length < 0 || static_cast<size_t>(length) >= sizeof gTemporary) {
      return nullptr;
    }
    // Until it takes the old file's owner and mode, a file that replaces
    // another is readable by its owner only.
    sigset_t held;
    HoldInterrupts(&held);
    int descriptor =
        open(gTemporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
             exists ? 0600 : 0666);
    int error = errno;
    if (descriptor >= 0) Arm();
    ReleaseInterrupts(&held);
    if (descriptor >= 0) {
      if (exists) TakeOwnerAndMode(descriptor, replaced);
      gWriteBack = {descriptor, 0, 0};
      return HandleOf(descriptor);
    }
    if (error != EEXIST) return nullptr;
  }
  return nullptr;
}

bool CommitReplacement() {
  sigset_t held;
  HoldInterrupts(&held);
  bool moved = rename(gTemporary, gTarget) == 0;
  if (moved) Disarm();
  ReleaseInterrupts(&held);
  if (!moved) return false;
  // The new name must reach the disk too.  The database is in place
  // whatever this reports: nothing to undo, so nothing to report.
  char directory[posix::kNativePathSize] = ".";
  size_t length = DirectoryLength(gTarget);
  if (length > 0) {
    memcpy(directory, gTarget, length);
    directory[length] = '\0';
  }
  int descriptor = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (descriptor >= 0) {
    fsync(descriptor);
    close(descriptor);
  }
  return true;
}

void AbandonReplacement() {
  sigset_t held;
  HoldInterrupts(&held);
  if (gArmed) unlink(gTemporary);
  Disarm();
  ReleaseInterrupts(&held);
}

bool IsSpecialFile(const char* path) {
  char native[posix::kNativePathSize];
  struct stat info;
  return posix::NativePath(path, native) && stat(native, &info) == 0 &&
         !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode);
}

}  // namespace platform
