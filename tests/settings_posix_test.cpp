// Settings over the POSIX port's registry file and real files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "app/options.h"
#include "app/settings.h"
#include "tests/registry_file_fixture.h"

namespace {

class SettingsPosix : public RegistryFileTest {};

}  // namespace

TEST_F(SettingsPosix, PathExists) {
  std::string file = dir_.Join("file.txt");
  std::string plain = dir_.Join("plain");
  std::string readOnly = dir_.Join("readonly");
  fclose(fopen(file.c_str(), "w"));
  ASSERT_EQ(0, mkdir(plain.c_str(), 0755));
  ASSERT_EQ(0, mkdir(readOnly.c_str(), 0555));
  EXPECT_TRUE(PathExists(file.c_str()));
  EXPECT_FALSE(PathExists(plain.c_str()));
  EXPECT_TRUE(PathExists(readOnly.c_str()));  // read-only: attributes 17
  EXPECT_FALSE(PathExists(dir_.Join("missing").c_str()));
  EXPECT_FALSE(PathExists(""));
}

TEST_F(SettingsPosix, StoredValuesAndDefaults) {
  std::string existing = dir_.Join("existing.dbs");
  fclose(fopen(existing.c_str(), "w"));
  Registry(std::string("REGEDIT4\n") + kDatabaseKey + "\"DatabaseFile\"=\"" +
           existing + "\"\n\"Drives\"=\"" + std::string(40, 'c') + "\"\n");
  char path[platform::kPathSize] = {};
  char drives[kDriveSpecificationSize] = {};
  DynString overlong;
  EXPECT_FALSE(ReadSettings("/opt/bin/kavelo", path, drives, &overlong));
  EXPECT_EQ(existing, path);
  EXPECT_EQ(std::string(40, 'c'), overlong.Text());
  EXPECT_EQ(0, access(existing.c_str(), F_OK));  // not tested, not deleted

  Registry(std::string("REGEDIT4\n") + kDatabaseKey + "\"DatabaseFile\"=\"/" +
           std::string(300, 'p') + "\"\n");
  char drives2[kDriveSpecificationSize] = {};
  char path2[platform::kPathSize] = {};
  EXPECT_TRUE(ReadSettings("/opt/bin/kavelo", path2, drives2, &overlong));
  EXPECT_STREQ("/opt/bin/FILES.DBS", path2);
  EXPECT_STREQ("1", drives2);
}
