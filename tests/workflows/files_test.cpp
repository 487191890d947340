// FileExists takes the path as a pattern and must find what the platform's directory
// search with the hidden and directory attributes would.
#include "tests/support/files.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "workflows/modXFiles.h"

namespace tidewell {
namespace {

using testing::TempDir;
using testing::WriteAll;

TEST(FileExistsTest, FilesFoldersHiddenEntriesAndPatterns) {
  TempDir dir;
  WriteAll(dir.File("Vardlink.mdb"), "x");
  WriteAll(dir.File(".hidden.bak"), "x");
  std::filesystem::create_directory(dir.path() / "site [old]");
  WriteAll(dir.File("site [old]/Site-Queue.mdb"), "x");
  const std::pair<std::string, bool> cases[] = {
      {"Vardlink.mdb", true},
      {"", true},  // the folder itself
      {"Other.mdb", false},
      {".hidden.bak", true},  // hidden entries, literally and through wildcards
      {"*.bak", true},
      {"?hidden.bak", true},
      {"V*.md?", true},
      {"*.txt", false},
      {"site [old]/Site-Queue.mdb", true},  // pattern characters in a real name
      {"site*/*-Queue.mdb", true},
      {"no such folder/Vardlink.mdb", false},
      {"no such folder/*.mdb", false},
  };
  for (const auto& [name, found] : cases) EXPECT_EQ(FileExists(dir.File(name)), found) << name;
  EXPECT_FALSE(FileExists(""));
  EXPECT_FALSE(FileExists(std::string("bad\0name", 8)));
}

TEST(JoinPathTest, FixedNamesJoinWithTheSeparator) {
  EXPECT_EQ(JoinPath("/opt/tidewell", "Vardlink.mdb"), "/opt/tidewell/Vardlink.mdb");
  EXPECT_EQ(JoinPath("/", "Vardlink.mdb"), "/Vardlink.mdb");
  EXPECT_FALSE(ApplicationFolder().empty());
}

}  // namespace
}  // namespace tidewell
