// The whole program, run in this process over the POSIX port's drive table
// and registry file, with each of its allocations failing in turn.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "app/program.h"
#include "database/format.h"
#include "database/record_store.h"
#include "platform/platform.h"
#include "support/memory.h"
#include "tests/test_util.h"

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

void WriteAll(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// A database file taken apart.
struct Database {
  std::string creator;
  std::string letters;
  std::vector<std::string> paths;
};

// False when `data` is no well-formed database: a header cut short, or a
// record without its path's NUL or its sixteen bytes of numbers.
bool Parse(const std::string& data, Database* out) {
  if (data.compare(0, format::kSignatureSize, format::kSignature,
                   format::kSignatureSize) != 0) {
    return false;
  }
  size_t at = format::kSignatureSize;
  std::string texts[3];
  for (std::string& text : texts) {
    size_t end = data.find('\0', at);
    if (end == std::string::npos) return false;
    text = data.substr(at, end - at);
    at = end + 1;
  }
  out->creator = texts[0];
  out->letters = texts[2];
  at += format::kTimeSize;
  if (at > data.size()) return false;
  out->paths.clear();
  while (at < data.size()) {
    size_t end = data.find('\0', at);
    if (end == std::string::npos ||
        end + 1 + format::kRecordNumbersSize > data.size()) {
      return false;
    }
    out->paths.push_back(data.substr(at, end - at));
    at = end + 1 + format::kRecordNumbersSize;
  }
  return true;
}

int gAllocations = 0;

void* CountingAllocate(size_t size) {
  ++gAllocations;
  return ::operator new(size, std::nothrow);
}

class WholeRun : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.Path().empty());
    namespace fs = std::filesystem;
    // K: enough records for three blocks, and a link to a directory beside
    // it; D: a few files and a link.
    std::string k = dir_.Join("k");
    std::string d = dir_.Join("d");
    fs::create_directories(k + "/many");
    fs::create_directories(k + "/sub");
    fs::create_directories(d + "/docs");
    for (int i = 0; i < 4000; ++i) {
      WriteAll(k + "/many/" + std::to_string(i) + std::string(190, 'n'), "");
    }
    WriteAll(k + "/sub/x.txt", "x");
    fs::create_directory_symlink(k + "/sub", k + "/link");
    for (const char* name : {"a.txt", "docs/b.txt", "docs/c.txt"}) {
      WriteAll(d + "/" + name, name);
    }
    // D's walk takes memory of its own after K's records have spilled.
    fs::create_directory_symlink(d + "/docs", d + "/link");
    fs::create_directories(dir_.Join("bin"));
    WriteAll(dir_.Join("drives"), "K fixed " + k + "\nD fixed " + d + "\n");
    WriteAll(dir_.Join("user.reg"),
             "REGEDIT4\n[HKEY_CURRENT_USER\\Software\\Pelmar\\Database]\n"
             "\"DatabaseFile\"=\"" +
                 Stored() + "\"\n\"Drives\"=\"kd\"\n");
    WriteAll(Stored(), kEarlier);
    environment_.Set("KAVELO_DRIVES", dir_.Join("drives"));
    environment_.Set("KAVELO_REGISTRY", dir_.Join("user.reg"));
    // The serial walk, whose allocations come in the same order every run;
    // the read-ahead's own failures are the walk tests' concern.
    environment_.Set("KAVELO_THREADS", "0");
  }
  void TearDown() override {
    memory::SetAllocator(nullptr);
    RecordStoreSetBudget(kSpillBudget);
    environment_.Restore();
    char message[256];
    platform::Initialize(message, sizeof message);
    platform::PrepareSettings(message, sizeof message);
  }

  std::string Stored() const { return dir_.Join("stored.dbs"); }
  // Where the database goes when the stored path cannot be read.
  std::string Default() const { return dir_.Join("bin/FILES.DBS"); }

  // Runs the program as `bin/kavelo -Tc nightly -Q`: path and drives from
  // the registry.
  int Run() {
    std::vector<std::string> args = {dir_.Join("bin/kavelo"), "-Tc", "nightly",
                                     "-Q"};
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    return RunProgram(static_cast<int>(args.size()), argv.data());
  }

  // `walkPoints`: allocations of the walks, at least.
  void SweepAllocations(int walkPoints);

  static constexpr char kEarlier[] = "an earlier database";
  ScopedTempDir dir_;
  ScopedEnvironment environment_;
};

}  // namespace

// Settings, two drives, three blocks, the link set and the writer: each
// allocation of a whole run fails once.  Every run must end as planned for
// that point: no memory for the first block ends it with 5 and leaves the
// earlier database; an allocation lost in a walk costs that drive its letter
// and nothing else; one lost in the settings gives their default.  What it
// writes is whole.  (The POSIX configuration parsers use the standard
// containers, whose memory does not come from memory::Allocate.)
void WholeRun::SweepAllocations(int walkPoints) {
  memory::SetAllocator(CountingAllocate);
  gAllocations = 0;
  ASSERT_EQ(0, Run());
  memory::SetAllocator(nullptr);
  int count = gAllocations;
  ASSERT_GE(count, 8) << "settings, texts, blocks and the link set";
  Database full;
  ASSERT_TRUE(Parse(ReadAll(Stored()), &full));
  ASSERT_EQ("KD", full.letters);
  ASSERT_EQ("nightly", full.creator);
  std::map<char, std::vector<std::string>> drivePaths;
  for (const std::string& path : full.paths) {
    drivePaths[path[0]].push_back(path);
  }
  ASSERT_EQ(4002u, drivePaths['K'].size());
  ASSERT_EQ(5u, drivePaths['D'].size());

  int noMemory = 0, driveLost = 0, defaults = 0;
  for (int nth = 1; nth <= count; ++nth) {
    SCOPED_TRACE("allocation " + std::to_string(nth) + " of " +
                 std::to_string(count));
    WriteAll(Stored(), kEarlier);
    std::remove(Default().c_str());
    int code;
    std::string errors;
    {
      FailingAllocation failing(nth);
      testing::internal::CaptureStderr();
      code = Run();
      errors = testing::internal::GetCapturedStderr();
    }
    if (code == 5) {
      ++noMemory;
      EXPECT_EQ("Cannot allocate memory.\n", errors);
      EXPECT_EQ(kEarlier, ReadAll(Stored()));
      EXPECT_NE(0, access(Default().c_str(), F_OK));
      continue;
    }
    ASSERT_EQ(0, code) << errors;
    EXPECT_EQ("", errors);
    bool atDefault = access(Default().c_str(), F_OK) == 0;
    defaults += atDefault;
    if (atDefault) {
      EXPECT_EQ(kEarlier, ReadAll(Stored()));
    }
    Database written;
    ASSERT_TRUE(Parse(ReadAll(atDefault ? Default() : Stored()), &written));
    EXPECT_TRUE(written.creator == "nightly" || written.creator.empty());
    std::map<std::string, int> seen;
    for (const std::string& path : written.paths) ++seen[path];
    std::string lost;
    for (char letter : {'K', 'D'}) {
      bool listed = written.letters.find(letter) != std::string::npos;
      if (!listed) lost += letter;
      // A listed drive has every record; a lost one at most what its walk
      // stored before the failure.
      for (const std::string& path : drivePaths[letter]) {
        int times = seen.count(path) != 0 ? seen[path] : 0;
        if (listed) {
          EXPECT_EQ(1, times) << path;
        } else {
          EXPECT_LE(times, 1) << path;
        }
        seen.erase(path);
      }
    }
    EXPECT_TRUE(seen.empty()) << seen.begin()->first;
    EXPECT_LE(lost.size(), 1u) << written.letters;
    EXPECT_EQ(2u, written.letters.size() + lost.size()) << written.letters;
    driveLost += !lost.empty();
  }
  // Each kind of point was met: the first block, walks, and the settings.
  EXPECT_EQ(1, noMemory);
  EXPECT_GE(driveLost, walkPoints);
  EXPECT_GE(defaults, 1);
  RecordProperty("allocations", count);
  printf(
      "allocation points injected: %d (first block %d, walks %d, stored "
      "path %d)\n",
      count, noMemory, driveLost, defaults);
}

TEST_F(WholeRun, EveryAllocationFailsOnce) { SweepAllocations(5); }

// The same with one filled block held: K's blocks go to the disk during its
// walk and their memory comes back for the next (no allocation after the
// first two), and D, losing its letter after that, moves them.
TEST_F(WholeRun, EveryAllocationFailsOnceWhileSpilling) {
  RecordStoreSetBudget(1);
  SweepAllocations(4);
}
