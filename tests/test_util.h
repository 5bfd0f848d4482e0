// Helpers shared by the unit tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <new>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "database/write_sink.h"
#include "support/memory.h"

// Makes the Nth allocation from now on fail (1 is the next one), and every
// one after it when `andAfter` is set; undone when it goes out of scope.
class FailingAllocation {
 public:
  explicit FailingAllocation(int nth, bool andAfter = false) {
    countdown_ = nth;
    andAfter_ = andAfter;
    memory::SetAllocator(Allocate);
  }
  ~FailingAllocation() { memory::SetAllocator(nullptr); }
  FailingAllocation(const FailingAllocation&) = delete;
  FailingAllocation& operator=(const FailingAllocation&) = delete;

 private:
  static void* Allocate(size_t size) {
    if (countdown_ > 0 && --countdown_ == 0) {
      if (andAfter_) countdown_ = 1;
      return nullptr;
    }
    return ::operator new(size, std::nothrow);
  }
  static inline int countdown_ = 0;
  static inline bool andAfter_ = false;
};

// A write sink that keeps what it is given, one string per write; the write
// numbered `shortAt` (from 1) takes only half its bytes.
struct CollectingSink {
  std::vector<std::string> writes;
  int shortAt = 0;

  WriteSink Sink() { return {Collect, this}; }
  std::string Bytes() const {
    std::string all;
    for (const std::string& write : writes) all += write;
    return all;
  }

 private:
  static uint32_t Collect(void* context, const void* bytes, uint32_t count) {
    auto* self = static_cast<CollectingSink*>(context);
    if (static_cast<int>(self->writes.size()) + 1 == self->shortAt) count /= 2;
    self->writes.emplace_back(static_cast<const char*>(bytes), count);
    return count;
  }
};

// A directory of the test's own under the system's temporary directory,
// removed with everything in it when the object goes.  Path() is empty when
// no directory could be made.
class ScopedTempDir {
 public:
  ScopedTempDir() {
    namespace fs = std::filesystem;
    std::error_code error;
    fs::path base = fs::temp_directory_path(error);
    if (error) return;
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
      fs::path candidate = base / ("kavelo-test-" + std::to_string(random()));
      if (fs::create_directory(candidate, error)) {
        path_ = candidate.string();
        return;
      }
    }
  }
  ~ScopedTempDir() {
    if (path_.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScopedTempDir(const ScopedTempDir&) = delete;
  ScopedTempDir& operator=(const ScopedTempDir&) = delete;

  const std::string& Path() const { return path_; }
  // `name` inside the directory.
  std::string Join(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Sets and unsets environment variables; each goes back to what it was when
// it was first touched, on Restore() or when the object goes.
class ScopedEnvironment {
 public:
  ScopedEnvironment() = default;
  ~ScopedEnvironment() { Restore(); }
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

  void Set(const char* name, const std::string& value) {
    Remember(name);
    Put(name, value.c_str());
  }
  void Unset(const char* name) {
    Remember(name);
    Put(name, nullptr);
  }
  void Restore() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      Put(it->first.c_str(), it->second ? it->second->c_str() : nullptr);
    }
    saved_.clear();
  }

 private:
  void Remember(const char* name) {
    for (const auto& entry : saved_) {
      if (entry.first == name) return;
    }
    const char* value = getenv(name);
    saved_.emplace_back(
        name, value ? std::optional<std::string>(value) : std::nullopt);
  }
  // The Windows runtime has no setenv; there an empty value removes the
  // variable, so a variable set empty cannot be told from an unset one.
  static void Put(const char* name, const char* value) {
#ifdef _WIN32
    _putenv_s(name, value ? value : "");
#else
    if (value) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
#endif
  }

  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// Makes `zone` (a TZ value) the C library's time zone until the object goes.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const std::string& zone) {
    environment_.Set("TZ", zone);
    tzset();
  }
  ~ScopedTimeZone() {
    environment_.Restore();
    tzset();
  }
  ScopedTimeZone(const ScopedTimeZone&) = delete;
  ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

 private:
  ScopedEnvironment environment_;
};
