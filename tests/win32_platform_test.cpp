#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "database/read_ahead.h"
#include "database/record_store.h"
#include "database/result.h"
#include "database/walk.h"
#include "platform/platform.h"
#include "platform/win32/names.h"
#include "test_util.h"

// An empty removable drive must not raise the system's "no disk" box: an
// unattended run would wait on it for ever.
TEST(Win32Platform, InitializeFailsCriticalErrorsSilently) {
  SetErrorMode(0);
  char message[64];
  ASSERT_TRUE(platform::Initialize(message, sizeof message));
  UINT mode = SetErrorMode(0);
  EXPECT_EQ(static_cast<UINT>(SEM_FAILCRITICALERRORS),
            mode & SEM_FAILCRITICALERRORS);
}

// A run confined to one processor (start /affinity, a job object) counts
// one, not every processor of the machine: workers beyond it would only take
// turns with the walk.
TEST(Win32Platform, ProcessorCountIsThatOfTheProcessAffinity) {
  DWORD_PTR process = 0;
  DWORD_PTR system = 0;
  ASSERT_TRUE(GetProcessAffinityMask(GetCurrentProcess(), &process, &system));
  DWORD_PTR lowest = process & (~process + 1);
  ASSERT_TRUE(SetProcessAffinityMask(GetCurrentProcess(), lowest));
  unsigned confined = platform::ProcessorCount();
  ASSERT_TRUE(SetProcessAffinityMask(GetCurrentProcess(), process));
  EXPECT_EQ(1u, confined);
  unsigned allowed = 0;
  for (DWORD_PTR bits = process; bits != 0; bits &= bits - 1) ++allowed;
  EXPECT_EQ(allowed, platform::ProcessorCount());
}

// On one processor a worker gains only while the walk's reads wait, and
// Windows keeps no processor time of a thread fine enough to see one
// directory's read wait: there a worker would only take turns with a warm
// walk, a switch between threads a directory.  None waits to start.
TEST(Win32Platform, NoWorkerWaitsForReadsThatCannotBeSeenToWait) {
  EXPECT_EQ(0u, ReadAheadStart(1, WorkersStart::kWhenReadsSlow));
  EXPECT_FALSE(ReadAheadWaitsForSlowReads());
  ReadAheadStop();
}

// The drive specification is upper-cased as CharUpperA does it, for every
// byte (ASCII too takes a way of its own, without user32).
TEST(Win32Platform, UpperCaseIsCharUpperA) {
  for (int byte = 1; byte < 256; ++byte) {
    char text[] = {'a', static_cast<char>(byte), 'z', '\0'};
    char expected[sizeof text];
    memcpy(expected, text, sizeof text);
    CharUpperA(expected);
    platform::UpperCase(text);
    EXPECT_STREQ(expected, text) << "byte " << byte;
  }
}

TEST(Win32Platform, DirectoryIdOfDriveRootAndItsSpelling) {
  // `C:` alone names the drive's current directory: make that another
  // directory than the root, so that only reading `C:` as `C:\` passes.
  char saved[MAX_PATH];
  ASSERT_NE(0u, GetCurrentDirectoryA(sizeof saved, saved));
  ASSERT_TRUE(SetCurrentDirectoryA("C:\\windows"));
  struct Restore {
    const char* path;
    ~Restore() { SetCurrentDirectoryA(path); }
  } restore = {saved};
  platform::DirectoryId bare, rooted;
  ASSERT_TRUE(platform::GetDirectoryId("C:", &bare));
  ASSERT_TRUE(platform::GetDirectoryId("C:\\", &rooted));
  EXPECT_EQ(bare.volume, rooted.volume);
  EXPECT_EQ(bare.index, rooted.index);
  platform::DirectoryId windows;
  ASSERT_TRUE(platform::GetDirectoryId("C:\\windows", &windows));
  EXPECT_NE(bare.index, windows.index);
}

namespace {

using platform::win32::NameRule;

// The rule of a name's record, with no file behind it: the case Wine cannot
// show is a name outside the code page with no short name.
struct NameCase {
  const wchar_t* name;
  const wchar_t* shortName;
  NameRule rule;
  const char* recorded;
};

TEST(Win32Names, RecordedNameFollowsTheSpellingAndTheShortName) {
  if (GetACP() != 1252) GTEST_SKIP() << "the cases are of code page 1252";
  const NameCase cases[] = {
      {L"plain.txt", nullptr, NameRule::kExact, "plain.txt"},
      {L"caf\u00e9 \u20ac", nullptr, NameRule::kExact, "caf\xe9 \x80"},
      {L"\u0101", nullptr, NameRule::kWantsShortName, "a"},
      {L"\u0101", L"", NameRule::kInexact, "a"},
      // A volume without short names answers with the long name itself.
      {L"\u0101", L"\u0101", NameRule::kInexact, "a"},
      {L"\u0101", L"A~1", NameRule::kShortName, "A~1"},
      {L"\u0416\u0443\u043a", L"", NameRule::kInexact, "???"},
      {L"\u0416\u0443\u043a", L"___~~MN1", NameRule::kShortName, "___~~MN1"},
      // The walk passes dot names over by their dot: no short name for them.
      {L".\u0101", nullptr, NameRule::kExact, ".a"},
  };
  for (const NameCase& c : cases) {
    platform::FindEntry entry;
    EXPECT_EQ(c.rule, platform::win32::RecordName(c.name, c.shortName, &entry))
        << c.recorded;
    EXPECT_EQ(std::string(c.recorded),
              std::string(entry.name, entry.nameLength));
  }
}

// A tree made with the wide functions under a temporary directory.
class Win32Tree : public testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    ASSERT_NE(0u, GetTempPathW(MAX_PATH, temp));
    root_ = std::wstring(L"\\\\?\\") + temp + L"kavelo-names-" +
            std::to_wstring(GetCurrentProcessId()) + L"-" +
            std::to_wstring(GetTickCount());
    ASSERT_TRUE(CreateDirectoryW(root_.c_str(), nullptr));
    char ansi[MAX_PATH * 2];
    int bytes = WideCharToMultiByte(CP_ACP, 0, root_.c_str() + 4, -1, ansi,
                                    sizeof ansi, nullptr, nullptr);
    ASSERT_GT(bytes, 1);
    ansiRoot_.assign(ansi, static_cast<size_t>(bytes - 1));
    while (ansiRoot_.back() == '\\') ansiRoot_.pop_back();
  }
  void TearDown() override {
    platform::win32::IgnoreShortNames(false);
    std::error_code ignored;
    std::filesystem::remove_all(root_.substr(4), ignored);
  }

  // Makes `path` (`/` between parts), a file unless it ends in `/`.
  void Make(const std::wstring& path) {
    std::wstring full = root_;
    size_t from = 0;
    for (size_t at; (at = path.find(L'/', from)) != std::wstring::npos;
         from = at + 1) {
      full += L"\\" + path.substr(from, at - from);
      CreateDirectoryW(full.c_str(), nullptr);
    }
    if (from == path.size()) return;
    full += L"\\" + path.substr(from);
    HANDLE file = CreateFileW(full.c_str(), GENERIC_WRITE, 0, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    CloseHandle(file);
  }

  // The paths kavelo records for the tree, in the walk's order.
  std::vector<std::string> Walk(unsigned workers) {
    EXPECT_TRUE(RecordStoreOpen());
    EXPECT_EQ(kResultWritten, WalkDirectory(ansiRoot_.c_str(), workers));
    CollectingSink sink;
    EXPECT_TRUE(RecordStoreDrain(sink.Sink()));
    RecordStoreRelease();
    std::string bytes = sink.Bytes();
    std::vector<std::string> paths;
    for (size_t at = 0; at < bytes.size();) {
      size_t end = bytes.find('\0', at);
      paths.push_back(bytes.substr(at, end - at));
      at = end + 17;
    }
    return paths;
  }

  // The paths of the same walk with FindFirstFileA, as kavelo searched
  // before the wide search.
  static void WalkAnsi(const std::string& directory,
                       std::vector<std::string>* paths) {
    std::string pattern = directory + "\\*.*";
    if (pattern.size() >= MAX_PATH) return;
    WIN32_FIND_DATAA data;
    HANDLE search = FindFirstFileA(pattern.c_str(), &data);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
      const char* name = data.cAlternateFileName[0] != '\0' &&
                                 strchr(data.cFileName, '?') != nullptr
                             ? data.cAlternateFileName
                             : data.cFileName;
      if (name[0] == '.') continue;
      std::string path = directory + "\\" + name;
      if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        WalkAnsi(path, paths);
      } else {
        paths->push_back(path);
      }
    } while (FindNextFileA(search, &data));
    FindClose(search);
  }

  std::wstring root_;     // `\\?\` form
  std::string ansiRoot_;  // as the walk is given it
};

// Every name the code page spells exactly keeps the bytes of the ANSI
// search, down to the last directory whose search pattern fits.
TEST_F(Win32Tree, ExactSpellingsAreRecordedAsTheAnsiSearchGaveThem) {
  if (GetACP() != 1252) GTEST_SKIP() << "the corpus is of code page 1252";
  Make(L"plain.txt");
  Make(L"with  spaces and.many.dots.txt");
  Make(L"e\u20ac/inside.txt");
  Make(std::wstring(196, L'n') + L".txt");
  for (int byte = 0x80; byte <= 0xFF; ++byte) {
    char letter = static_cast<char>(byte);
    wchar_t wide[2] = {};
    if (MultiByteToWideChar(1252, 0, &letter, 1, wide, 1) != 1 ||
        (wide[0] < 0xA0 && wide[0] == static_cast<wchar_t>(byte))) {
      continue;  // undefined in the code page: a control character
    }
    // Named by the byte too: case does not tell names apart.
    std::wstring number = std::to_wstring(byte);
    Make(L"letter " + number + wide + L".txt");
    Make(L"dir" + number + wide + L"/x.txt");
  }
  // Directories whose patterns take 258, 259 and 260 characters.
  size_t room = 258 - ansiRoot_.size() - 4 - 1;
  for (size_t extra = 0; extra < 3; ++extra) {
    std::wstring chain = std::wstring(100, L'c') + std::to_wstring(extra) +
                         L"/" + std::wstring(room - 102 + extra, L'd') + L"/";
    Make(chain + L"deep.txt");
  }
  std::vector<std::string> ansi;
  WalkAnsi(ansiRoot_, &ansi);
  ASSERT_GT(ansi.size(), 200u);
  // The last pattern that fits is searched, the first that does not is not.
  EXPECT_EQ(2, std::count_if(ansi.begin(), ansi.end(), [](const auto& path) {
              return path.find("deep.txt") != std::string::npos;
            }));
  EXPECT_EQ(ansi, Walk(0));
  EXPECT_EQ(ansi, Walk(3));
}

// The tree that lost whole subtrees to the ANSI search: names with no
// exact spelling in code page 1252, directories among them.
class Win32OutsideTree : public Win32Tree {
 protected:
  void SetUp() override {
    Win32Tree::SetUp();
    for (const wchar_t* path :
         {L"\u0101/inner.txt", L"\u0101/sub/deep.txt",
          L"\u0416\u0443\u043a/inner2.txt", L"x\u0101y/\u0101\u0101/z.txt",
          L"e\u20ac/e.txt", L"plain/p.txt", L"\u0101.txt"}) {
      Make(path);
      files_.push_back(Identity(root_ + L"\\" + path));
    }
  }

  static uint64_t Identity(std::wstring path) {
    for (wchar_t& c : path) {
      if (c == L'/') c = L'\\';
    }
    HANDLE file = CreateFileW(path.c_str(), 0, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    BY_HANDLE_FILE_INFORMATION information = {};
    if (file == INVALID_HANDLE_VALUE) return 0;
    GetFileInformationByHandle(file, &information);
    CloseHandle(file);
    return (static_cast<uint64_t>(information.nFileIndexHigh) << 32) |
           information.nFileIndexLow;
  }

  std::vector<uint64_t> files_;
};

// Every file is recorded, and each recorded path opens that very file: the
// short names (which Wine makes up for every such name) stand in.
TEST_F(Win32OutsideTree, EveryFileIsRecordedUnderAPathThatOpensIt) {
  if (GetACP() != 1252) GTEST_SKIP() << "the tree is of code page 1252";
  for (unsigned workers : {0u, 3u}) {
    std::vector<uint64_t> opened;
    for (const std::string& path : Walk(workers)) {
      HANDLE file = CreateFileA(path.c_str(), 0, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr);
      BY_HANDLE_FILE_INFORMATION information = {};
      EXPECT_NE(INVALID_HANDLE_VALUE, file) << path;
      GetFileInformationByHandle(file, &information);
      CloseHandle(file);
      opened.push_back(
          (static_cast<uint64_t>(information.nFileIndexHigh) << 32) |
          information.nFileIndexLow);
    }
    std::sort(opened.begin(), opened.end());
    std::vector<uint64_t> expected = files_;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, opened) << workers;
  }
}

// Without short names (most volumes since Windows 8) the inexact spelling
// is recorded, and the directories are entered all the same.
TEST_F(Win32OutsideTree, DirectoriesWithoutShortNamesAreEntered) {
  if (GetACP() != 1252) GTEST_SKIP() << "the tree is of code page 1252";
  platform::win32::IgnoreShortNames(true);
  std::vector<std::string> expected;
  for (const char* path :
       {"\\a\\inner.txt", "\\a\\sub\\deep.txt", "\\???\\inner2.txt",
        "\\xay\\aa\\z.txt", "\\e\x80\\e.txt", "\\plain\\p.txt", "\\a.txt"}) {
    expected.push_back(ansiRoot_ + path);
  }
  std::sort(expected.begin(), expected.end());
  for (unsigned workers : {0u, 3u}) {
    std::vector<std::string> recorded = Walk(workers);
    std::sort(recorded.begin(), recorded.end());
    EXPECT_EQ(expected, recorded) << workers;
  }
}

}  // namespace

// A run's temporary file cannot be deleted while the run lives: another run,
// clearing away what killed runs left, must not take it for theirs.
TEST(Win32Platform, TemporaryFileIsHeldUntilItReplacesThePath) {
  ScopedTempDir dir;
  ASSERT_FALSE(dir.Path().empty());
  auto names = [&dir] {
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
      found.push_back(entry.path().filename().string());
    }
    return found;
  };
  std::string target = dir.Join("files.dbs");
  for (bool commit : {true, false}) {
    platform::FileHandle* file = platform::CreateReplacement(target.c_str());
    ASSERT_NE(nullptr, file);
    uint32_t written = 0;
    ASSERT_TRUE(platform::WriteToFile(file, "db", 2, &written));
    ASSERT_TRUE(platform::CloseFile(file));
    std::vector<std::string> during = names();
    ASSERT_EQ(commit ? 1u : 2u, during.size());
    std::string temporary = during[0] == "files.dbs" ? during[1] : during[0];
    char pid[16];
    snprintf(pid, sizeof pid, "%lx", GetCurrentProcessId());
    EXPECT_TRUE(std::regex_match(
        temporary,
        std::regex("\\.kv" + std::string(pid) + "-[0-9a-f]{16}\\.tmp")))
        << temporary;
    std::string held = dir.Join(temporary);
    EXPECT_FALSE(DeleteFileA(held.c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
    if (commit) {
      ASSERT_TRUE(platform::CommitReplacement());
    } else {
      platform::AbandonReplacement();
    }
    EXPECT_EQ(std::vector<std::string>{"files.dbs"}, names());
  }
}
