// Replacing a file whole over file descriptors: a temporary file of the
// run's own beside the file, held locked while it lives, renamed over the
// file once complete, and deleted by an interrupt.  Runs that ended
// without deleting theirs (killed, or the power cut) leave it behind; the
// next run in that directory deletes every such file that no live run
// holds.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "platform/posix/internal.h"

namespace platform {
namespace {

constexpr int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr size_t kInterruptCount = sizeof kInterrupts / sizeof kInterrupts[0];
// Fresh names are random, so a taken one is all but unheard of; the bound
// only keeps a system that reports every name taken from looping forever.
constexpr int kMaxAttempts = 10000;

// The replacement under way: the file it replaces, links resolved, and the
// temporary file, whose name the interrupt handler needs.  gArmed says that
// the temporary file exists and is this process's to delete.  gLock is a
// second descriptor on the temporary file, which keeps it locked after the
// writer closes its own and until the file is renamed or deleted.
char gTarget[posix::kNativePathSize];
char gTemporary[posix::kNativePathSize];
volatile sig_atomic_t gArmed = 0;
int gLock = -1;
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

// The directory part of `path`, or "." when it has none.
void DirectoryOf(const char* path, char* out) {
  size_t length = posix::DirectoryLength(path);
  if (length == 0) {
    strcpy(out, ".");
    return;
  }
  memcpy(out, path, length);
  out[length] = '\0';
}

void ReleaseLock() {
  if (gLock >= 0) close(gLock);
  gLock = -1;
}

// Random bits for a fresh name.  Without a random source (an old kernel, a
// filter on the call) the clock and a count stand in: the exclusive create
// catches what they repeat.
uint64_t FreshBits() {
  uint64_t bits;
  ssize_t got;
  do {
    got = getrandom(&bits, sizeof bits, GRND_NONBLOCK);
  } while (got < 0 && errno == EINTR);
  if (got == static_cast<ssize_t>(sizeof bits)) return bits;
  static uint64_t count = 0;
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return (static_cast<uint64_t>(now.tv_sec) << 32 ^
          static_cast<uint64_t>(now.tv_nsec)) +
         ++count * 0x9E3779B97F4A7C15u;
}

bool AllOf(const char* from, const char* to, const char* allowed) {
  if (from == to) return false;
  for (; from < to; ++from) {
    if (*from == '\0' || strchr(allowed, *from) == nullptr) return false;
  }
  return true;
}

// A temporary file's name: `.kv<pid>-<16 hex digits>.tmp`, or the
// `.kv<pid>-<count>.tmp` that earlier versions made.
bool IsTemporaryName(const char* name) {
  static const char kDigits[] = "0123456789";
  static const char kHex[] = "0123456789abcdef";
  size_t length = strlen(name);
  if (length < 9 || strncmp(name, ".kv", 3) != 0 ||
      strcmp(name + length - 4, ".tmp") != 0) {
    return false;
  }
  const char* dash = strchr(name + 3, '-');
  const char* end = name + length - 4;
  if (dash == nullptr || !AllOf(name + 3, dash, kDigits)) return false;
  return (end - dash == 17 && AllOf(dash + 1, end, kHex)) ||
         (end - dash <= 11 && AllOf(dash + 1, end, kDigits));
}

// Deletes the temporary files in `directory` that no live run holds: only
// those it can lock, and only while the name still names the file locked.
// `keep` (the file being replaced) stays whatever its name.
void DeleteAbandoned(const char* directory, const char* keep) {
  DIR* listing = opendir(directory);
  if (listing == nullptr) return;
  int parent = dirfd(listing);
  while (const struct dirent* entry = readdir(listing)) {
    const char* name = entry->d_name;
    struct stat named, held;
    if (!IsTemporaryName(name) || strcmp(name, keep) == 0 ||
        fstatat(parent, name, &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(named.st_mode)) {
      continue;
    }
    int file =
        openat(parent, name,
               O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (file < 0) continue;
    if (flock(file, LOCK_EX | LOCK_NB) == 0 && fstat(file, &held) == 0 &&
        fstatat(parent, name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        named.st_dev == held.st_dev && named.st_ino == held.st_ino) {
      unlinkat(parent, name, 0);
    }
    close(file);
  }
  closedir(listing);
}

// Locks the temporary file just made at `descriptor`, whose creation armed
// the interrupts.  False when another run's clean-up took the lock first
// and deleted the file: it is then given up, and another name is tried.
bool LockCreated(int descriptor) {
  int locked;
  do {
    locked = flock(descriptor, LOCK_EX);
  } while (locked != 0 && errno == EINTR);
  // A file system without locks lets no run lock, so none deletes another's
  // file either: the file is kept unlocked.
  struct stat info;
  if (locked == 0 && (fstat(descriptor, &info) != 0 || info.st_nlink == 0)) {
    sigset_t held;
    HoldInterrupts(&held);
    Disarm();
    ReleaseInterrupts(&held);
    close(descriptor);
    return false;
  }
  return true;
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
      !posix::FollowLinks(native, gTarget, &replaced, &exists, nullptr) ||
      (exists && S_ISDIR(replaced.st_mode))) {
    return nullptr;
  }
  posix::FailWritesPastSizeLimit();
  int directory = static_cast<int>(posix::DirectoryLength(gTarget));
  char directoryPath[posix::kNativePathSize];
  DirectoryOf(gTarget, directoryPath);
  DeleteAbandoned(directoryPath, gTarget + directory);
  for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
    int length =
        snprintf(gTemporary, sizeof gTemporary, "%.*s.kv%ld-%016llx.tmp",
                 directory, gTarget, static_cast<long>(getpid()),
                 static_cast<unsigned long long>(FreshBits()));
    if (length < 0 || static_cast<size_t>(length) >= sizeof gTemporary) {
      return nullptr;
    }
    // Until it takes the old file's owner and mode, a file that replaces
    // another is readable by its owner only.
    sigset_t held;
    HoldInterrupts(&held);
    int descriptor =
        open(gTemporary, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
             exists ? 0600 : 0666);
    int error = errno;
    if (descriptor >= 0) Arm();
    ReleaseInterrupts(&held);
    if (descriptor < 0 && error != EEXIST) return nullptr;
    if (descriptor < 0 || !LockCreated(descriptor)) continue;
    gLock = fcntl(descriptor, F_DUPFD_CLOEXEC, 0);
    if (gLock < 0) {
      close(descriptor);
      AbandonReplacement();
      return nullptr;
    }
    if (exists) TakeOwnerAndMode(descriptor, replaced);
    posix::WriteBackAsWritten(descriptor);
    return posix::HandleOf(descriptor);
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
  ReleaseLock();
  // The new name must reach the disk too.  The database is in place
  // whatever this reports: nothing to undo, so nothing to report.
  char directory[posix::kNativePathSize];
  DirectoryOf(gTarget, directory);
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
  ReleaseLock();
}

}  // namespace platform
