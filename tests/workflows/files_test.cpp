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

TEST(FileExistsTest, PlainFilesAndFolders) {
  TempDir dir;
  WriteAll(dir.File("Vardlink.mdb"), "x");
  EXPECT_TRUE(FileExists(dir.File("Vardlink.mdb")));
  EXPECT_TRUE(FileExists(dir.path().string()));
  EXPECT_FALSE(FileExists(dir.File("Other.mdb")));
}

TEST(FileExistsTest, HiddenEntriesMatchLiterallyAndThroughWildcards) {
  TempDir dir;
  WriteAll(dir.File(".hidden.mdb"), "x");
  EXPECT_TRUE(FileExists(dir.File(".hidden.mdb")));
  EXPECT_TRUE(FileExists(dir.File("*.mdb")));
  EXPECT_TRUE(FileExists(dir.File("?hidden.mdb")));
}

TEST(FileExistsTest, WildcardsMatchSomeFileOrNothing) {
  TempDir dir;
  WriteAll(dir.File("Site-Queue.mdb"), "x");
  EXPECT_TRUE(FileExists(dir.File("*-Queue.mdb")));
  EXPECT_TRUE(FileExists(dir.File("Site-Queue.md?")));
  EXPECT_FALSE(FileExists(dir.File("*.bak")));
}

TEST(FileExistsTest, PathsWithPatternCharactersAreFoundAsWritten) {
  TempDir dir;
  std::filesystem::create_directory(dir.path() / "site [old]");
  WriteAll(dir.File("site [old]/Vardlink.mdb"), "x");
  EXPECT_TRUE(FileExists(dir.File("site [old]/Vardlink.mdb")));
}

TEST(FileExistsTest, ErrorsAndImpossiblePathsAreFalse) {
  TempDir dir;
  EXPECT_FALSE(FileExists(""));
  EXPECT_FALSE(FileExists(dir.File("no such folder/Vardlink.mdb")));
  EXPECT_FALSE(FileExists(dir.File("no such folder/*.mdb")));
  EXPECT_FALSE(FileExists(std::string("bad\0name", 8)));
}

TEST(JoinPathTest, FixedNamesJoinWithTheSeparator) {
  EXPECT_EQ(JoinPath("/opt/tidewell", "Vardlink.mdb"), "/opt/tidewell/Vardlink.mdb");
  EXPECT_EQ(JoinPath("/", "Vardlink.mdb"), "/Vardlink.mdb");
  EXPECT_FALSE(ApplicationFolder().empty());
}

}  // namespace
}  // namespace tidewell
