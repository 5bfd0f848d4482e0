// The only door from kavelo's core to the operating system.
//
// Every operation mirrors one Win32 call (named beside it) with the same
// results, so the Win32 build forwards and the POSIX build emulates.  Paths
// handed to these functions are Windows-style for drives (`C:\Docs\a.txt`);
// the database path and the program path are native paths of the platform.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/file_time.h"

namespace platform {

// Drive types, as GetDriveTypeA numbers them.
enum : uint32_t {
  kDriveUnknown = 0,
  kDriveNoRootDir = 1,
  kDriveRemovable = 2,
  kDriveFixed = 3,
  kDriveRemote = 4,
  kDriveCdrom = 5,
  kDriveRamdisk = 6,
};

// File attribute bits, as Win32 numbers them.
enum : uint32_t {
  kAttributeReadOnly = 0x01,
  kAttributeHidden = 0x02,
  kAttributeDirectory = 0x10,
  kAttributeArchive = 0x20,
  kAttributeReparsePoint = 0x400,
};

// Win32 error codes that callers look at.
enum : uint32_t {
  kErrorSuccess = 0,
  kErrorFileNotFound = 2,
  kErrorTooManyOpenFiles = 4,
  kErrorAccessDenied = 5,
  kErrorOutOfMemory = 14,
  kErrorNoMoreFiles = 18,
  kErrorMoreData = 234,
};

// Separator of native paths: the default database path is built with it.
extern const char kNativePathSeparator;

// Paths live in buffers of this size, as Win32's MAX_PATH: 259 characters
// and the NUL.
constexpr size_t kPathSize = 260;

// Identity of a directory: equal identities name the same directory.
struct DirectoryId {
  uint64_t volume;
  uint64_t index;
};

// The part of WIN32_FIND_DATAA that kavelo reads.
struct FindEntry {
  uint32_t attributes;
  FileTime creationTime;
  FileTime lastAccessTime;
  FileTime lastWriteTime;
  uint32_t sizeHigh;
  uint32_t sizeLow;
  char name[kPathSize];
  char alternateName[14];  // the 8.3 short name, empty when there is none
  // The length of `name`, which the search has measured already: the walk
  // needs it for every entry.
  uint32_t nameLength;
  // POSIX: the identity of a directory (of its target, for a link), as the
  // search saw it.  Win32 leaves it zero.
  DirectoryId id;
};

// The directory a search of `directory\*.*` is to find: what an earlier
// search or GetDirectoryId saw at that path.  Between that look and the
// search the path may have come to name another directory (a rename, a
// directory swapped for a link): the search must not stray into it.
struct ExpectedDirectory {
  DirectoryId id;
  // The path's last part is a link the caller chose to follow; otherwise it
  // must be a directory itself, not a link to one.
  bool throughLink;
};

struct FindHandle;
struct FileHandle;
struct RegistryHandle;
struct Thread;

// Work done once at process start.  Returns false with a message (one line,
// ending in a line feed) when the platform's configuration cannot be used.
bool Initialize(char* message, size_t messageSize);
// Work done before the stored settings are first read, and only then: a run
// that reads none is not stopped by configuration it never uses.  Returns
// false with a message, as Initialize does.
bool PrepareSettings(char* message, size_t messageSize);

// GetDriveTypeA(root), root being `X:\`.
uint32_t DriveType(const char* root);
// GetVolumeInformationA(root, ...) succeeding: the drive is ready.
bool VolumeIsReady(const char* root);
// GetLogicalDriveStringsA(size, buffer): `X:\` NUL entries and a final NUL.
// Returns the length written without the final NUL, or the size needed when
// the buffer is too small (then nothing is written).
uint32_t LogicalDriveStrings(uint32_t size, char* buffer);

// The search operations below (FindFirst to GetDirectoryId) may be called
// from several threads at once, each search ended on the thread that
// started it: the walk's read-ahead workers search directories of their own.
//
// FindFirstFileA: null when the search cannot be started.  `pattern` is
// `directory\*.*`, or one entry's path; a search that finds nothing fails.
// With `expected`, a directory that is not the one expected is not searched,
// as if it had vanished (POSIX; Win32 opens by path alone and does not look).
FindHandle* FindFirst(const char* pattern, FindEntry* entry,
                      const ExpectedDirectory* expected = nullptr);
// FindNextFileA: false when there are no more entries.
//
// For a name beginning with `.` (".", ".." and hidden names alike) only the
// name and the directory bit of `attributes` are meaningful; the other
// fields may be left zero.  kavelo never records or enters such a name, and
// on POSIX describing each would cost a system call.
bool FindNext(FindHandle* search, FindEntry* entry);
// FindClose.
void FindEnd(FindHandle* search);
// GetLastError right after FindFirst or FindNext failed, on the same thread:
// kErrorTooManyOpenFiles when no descriptor (handle) was left to search
// with, kErrorOutOfMemory when no memory was, kErrorNoMoreFiles at a
// search's end; anything else means that the directory cannot be searched.
// Only the first two say nothing about the directory itself.
uint32_t SearchError();
// The calling thread searches no more, for now: frees what it kept for its
// next search.  Every thread that searched calls it before it ends.
void EndSearches();
// Identity of the directory at `path`, links followed.  Only asked for when
// the walk meets a link, so it may cost a system call or two.
bool GetDirectoryId(const char* path, DirectoryId* id);

// CreateThread(0, size, run, argument, STACK_SIZE_PARAM_IS_A_RESERVATION,
// 0): runs `run(argument)` on a thread of its own, with a stack of some
// hundreds of kilobytes rather than the system's default of megabytes, and
// without memory of its own in the allocator (POSIX: no arena of its own
// while the address space is limited), so that threads take little of the
// memory the walk's records need.  Null when the system will not start one.
Thread* StartThread(void (*run)(void* argument), void* argument);
// WaitForSingleObject and CloseHandle: waits for `thread` to end, then gives
// back its stack and the handle.
void JoinThread(Thread* thread);
// The processor time the calling thread has used, in nanoseconds, into
// `nanos`: false where the system keeps none fine enough to time the read
// of one directory (tens of microseconds).
bool ThreadProcessorTime(uint64_t* nanos);

// Processors this process may run on (GetProcessAffinityMask's bits, else
// GetSystemInfo's dwNumberOfProcessors), at least 1.
unsigned ProcessorCount();
// GetEnvironmentVariableA(name, buffer, size): the value's length, or the
// size it needs (its NUL counted) when it does not fit; 0 when unset.
uint32_t EnvironmentVariable(const char* name, char* buffer, uint32_t size);

// FileTimeToLocalFileTime: the bias in effect now is applied, whatever the
// date of `utc`.
bool FileTimeToLocal(const FileTime& utc, FileTime* local);

// CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, 0, CREATE_ALWAYS,
// FILE_ATTRIBUTE_NORMAL, 0): null when the file cannot be created.  On POSIX
// a name that stands for a descriptor of the process (/dev/stdout,
// /dev/stderr, /dev/fd/N, /proc/self/fd/N, or a link to one) gives a
// descriptor of its own on that same open file: written at its offset, in
// its append mode, never truncated; null when it is not open for writing.
FileHandle* CreateFileForWriting(const char* path);
// WriteFile: false on failure; *written is what reached the file.  A write
// past the process's file-size limit fails as a full disk does.
bool WriteToFile(FileHandle* file, const void* bytes, uint32_t count,
                 uint32_t* written);
// CloseHandle: false when the close reports an error.
bool CloseFile(FileHandle* file);

// Replacing a file whole: the new content goes to a temporary file of its
// own beside the file, which takes the file's place only once complete.  One
// replacement is under way at a time, from CreateReplacement until
// CommitReplacement succeeds or AbandonReplacement; meanwhile an interrupt
// (SIGINT, SIGTERM, SIGHUP, SIGQUIT; the console's Ctrl+C, Ctrl+Break and
// close) deletes the temporary file before it ends the process as it would
// have anyway.
//
// CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ |
// FILE_SHARE_DELETE, 0, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, 0), `name` a fresh
// name in the directory of the file that `path` names, links followed: the
// temporary file, open for writing (and reading: a long run's records may
// have to move within it).  Null when it cannot be created, or when `path`
// names a directory.  Fresh names are `.kv<pid>-<16 hex digits>.tmp`, the
// PID in decimal and the digits random, so that runs that all have the same
// PID (in a container) still differ.  A run holds its temporary file locked
// until it is renamed or deleted (POSIX: an flock on it; Win32: its open
// handle), and first deletes the files of that pattern (and
// the `.kv<pid>-<n>.tmp` of earlier versions) in the directory that no live
// run holds: what killed runs left.  On POSIX the temporary file takes the
// permission bits, owner and group of the file it will replace, as far as
// the process may set them; until then only its owner may read it.  On Win32
// these calls take the wide `\\?\` form of the names, so that a temporary name
// beside a path of 259 characters may pass MAX_PATH.
FileHandle* CreateReplacement(const char* path);
// ReplaceFileA(path, temporary, 0, REPLACEFILE_IGNORE_MERGE_ERRORS, 0, 0),
// or MoveFileExA(temporary, path, MOVEFILE_REPLACE_EXISTING |
// MOVEFILE_WRITE_THROUGH) when there is no file to replace; the temporary
// file must be closed.  The replaced file's security and attributes stay.
// On POSIX the rename is made durable too (the directory is flushed).  False
// when the file could not be replaced: the temporary file is then left for
// AbandonReplacement.
bool CommitReplacement();
// DeleteFileA(temporary): the replacement is given up; the temporary file
// must be closed.
void AbandonReplacement();
// FlushFileBuffers: false when what was written may not have reached the
// disk.
bool FlushFile(FileHandle* file);
// True when `path` exists and is neither a regular file nor a directory
// (a device, a pipe), or names a descriptor as CreateFileForWriting takes
// it: such a path is written in place.
bool IsSpecialFile(const char* path);

// True when `path` names the open file that standard output writes to
// (POSIX: /dev/stdout, a descriptor or device that is that same file).
// Win32 names no open file by path: false.
bool IsStandardOutput(const char* path);

// The records of a long run wait on the disk, in the file that becomes the
// database or, when the database is written in place, in a scratch file.
//
// CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, 0, CREATE_NEW,
// FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, 0), `name` a fresh
// name in the system's temporary directory (GetTempPathW; TMPDIR on POSIX,
// where the file has no name at all): a file of this process's own, gone
// once closed or once the process ends, however it ends.  Null when it
// cannot be created.
FileHandle* CreateScratchFile();
// A block of memory filled soon after it is taken, several MiB: on POSIX,
// madvise(MADV_HUGEPAGE) on the whole 2 MiB pages inside it, so that filling
// it faults once a huge page rather than once every 4 KiB (where the
// system asks for that advice); on Win32 nothing, large pages needing a
// privilege users seldom hold.
void PreferLargePages(void* block, size_t size);
// Whether the process may open one more file now.  POSIX: false when every
// descriptor that its limit allows (ulimit -n) is taken; Win32's handles
// run short only with memory, so true.
bool CanOpenAnotherFile();
// ReadFile and WriteFile at `offset`, as an OVERLAPPED offset gives it; the
// file position afterwards is unspecified.  False on failure; *done is
// what was read or written.
bool ReadFileAt(FileHandle* file, uint64_t offset, void* bytes, uint32_t count,
                uint32_t* done);
bool WriteFileAt(FileHandle* file, uint64_t offset, const void* bytes,
                 uint32_t count, uint32_t* done);
// SetFilePointerEx(file, offset, 0, FILE_BEGIN): later writes go there.
bool SetFilePosition(FileHandle* file, uint64_t offset);
// SetFilePointerEx and SetEndOfFile: the file ends at `size`.
bool SetFileSize(FileHandle* file, uint64_t size);

// CharUpperA, in place.
void UpperCase(char* text);

// The current user's registry root (HKEY_CURRENT_USER).
RegistryHandle* CurrentUserRoot();
// RegOpenKeyExA(root, path, 0, access, &key): the system's error code.
uint32_t RegistryOpen(RegistryHandle* root, const char* path, uint32_t access,
                      RegistryHandle** key);
// RegCreateKeyExA(root, path, 0, 0, options, access, security, &key, 0).
uint32_t RegistryCreate(RegistryHandle* root, const char* path,
                        uint32_t options, uint32_t access, void* security,
                        RegistryHandle** key);
// RegQueryValueExA(key, name, 0, 0, data, size): *size is in bytes; on
// kErrorMoreData it is the size the value needs.
uint32_t RegistryQuery(RegistryHandle* key, const char* name, void* data,
                       uint32_t* size);
// RegCloseKey.
uint32_t RegistryClose(RegistryHandle* key);

// The C runtime's _getch: one key from the console, without echo; -1 when
// there is no console to read or the read fails.
int ReadKey();
// WriteConsoleA on the console itself (CONOUT$; POSIX: the controlling
// terminal), whatever standard output is: false when there is no console
// or the write fails.
bool WriteToConsole(const char* text, uint32_t length);

}  // namespace platform
