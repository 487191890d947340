// Where the database and the template are looked for: beside the program when it sits in
// the crawler's folder, else in the current folder and beside the database.
#include "workflows/default_paths.h"

#include <gtest/gtest.h>

#include "tests/support/files.h"

namespace tidewell {
namespace {

struct Layout {
  const char* name;
  const char* program_holds;  // files in the program's folder, blank-separated
  const char* crawl_holds;    // files in the crawler's folder (the current folder)
  const char* database;       // where the default database is: "program" or "crawl"
  const char* tmpl;           // where the default template is
};

TEST(DefaultPaths, BesideTheCrawlerOrInstalledElsewhere) {
  const Layout layouts[] = {
      // A copy kept beside the crawler: everything in its own folder, as it always was,
      // even when the current folder holds another crawler's files.
      {"beside", "Vardlink.mdb Vardlink_Default.mdb", "Vardlink.mdb Vardlink_Default.mdb",
       "program", "program"},
      {"beside, no template", "Vardlink.mdb", "Vardlink_Default.mdb", "program", "program"},
      // Installed system-wide: the current folder has the database; a template shipped with
      // the program wins over the one beside the database.
      {"installed", "", "Vardlink.mdb Vardlink_Default.mdb", "crawl", "crawl"},
      {"installed, shipped template", "Vardlink_Default.mdb", "Vardlink.mdb Vardlink_Default.mdb",
       "crawl", "program"},
      // Nothing anywhere: the names a user would look for, beside the database.
      {"installed, nothing", "", "", "crawl", "crawl"},
  };
  for (const Layout& l : layouts) {
    testing::TempDir program, crawl;
    auto make = [](const testing::TempDir& d, std::string names) {
      names += ' ';
      for (size_t at = 0, blank; (blank = names.find(' ', at)) != std::string::npos; at = blank + 1)
        if (blank > at) testing::WriteAll(d.File(names.substr(at, blank - at)), "x");
    };
    make(program, l.program_holds);
    make(crawl, l.crawl_holds);
    auto in = [&](const char* where, const char* name) {
      return (std::string(where) == "program" ? program : crawl).File(name);
    };
    const std::string db = DefaultDatabase(program.path().string(), crawl.path().string());
    EXPECT_EQ(db, in(l.database, "Vardlink.mdb")) << l.name;
    EXPECT_EQ(DefaultTemplate(program.path().string(), db), in(l.tmpl, "Vardlink_Default.mdb"))
        << l.name;
  }
  // A database named on the command line without a folder: its template beside it, too.
  EXPECT_EQ(DefaultTemplate("/nowhere", "site.mdb"), "Vardlink_Default.mdb");
}

}  // namespace
}  // namespace tidewell
