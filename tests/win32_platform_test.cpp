#include <gtest/gtest.h>
#include <windows.h>

#include "platform/platform.h"

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
