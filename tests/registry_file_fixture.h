// A test with a registry of its own: the POSIX port reads HKEY_CURRENT_USER
// from the REGEDIT4 file that KAVELO_REGISTRY names, when the settings are
// about to be read.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "platform/platform.h"
#include "tests/test_util.h"

class RegistryFileTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.Path().empty()); }
  void TearDown() override {
    // The next test starts from the registry and drives of the process.
    environment_.Restore();
    char message[256];
    platform::Initialize(message, sizeof message);
    platform::PrepareSettings(message, sizeof message);
  }

  // Makes `text` the registry, with the built-in drive table.
  void Registry(const std::string& text) {
    std::string path = dir_.Join("user.reg");
    FILE* file = fopen(path.c_str(), "w");
    fputs(text.c_str(), file);
    fclose(file);
    environment_.Set("KAVELO_REGISTRY", path);
    environment_.Unset("KAVELO_DRIVES");
    char message[256];
    ASSERT_TRUE(platform::Initialize(message, sizeof message)) << message;
    ASSERT_TRUE(platform::PrepareSettings(message, sizeof message)) << message;
  }

  ScopedTempDir dir_;
  ScopedEnvironment environment_;
};

inline constexpr char kDatabaseKey[] =
    "[HKEY_CURRENT_USER\\Software\\Pelmar\\Database]\n";
