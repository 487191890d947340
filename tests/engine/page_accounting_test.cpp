// The page accounting on files whose links between pages were rewritten by hand: each case
// breaks one link (or two, where which one is named matters) and expects the problem that
// names it. The accounting keeps only a few bits per page and reads pages again as it
// walks, so these are the cases where what it remembers and what it reads must agree.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "engine/pagefile/check.h"
#include "tests/support/files.h"
#include "tests/support/page_fields.h"
#include "tests/support/queries.h"

namespace tidewell::engine::pagefile {
namespace {

using namespace tidewell::testing;
using P = const std::string&;

constexpr uint32_t kPage = 1024;

enum Shape {
  kPlain,
  kAutoVacuum,
  kManyMaps,  // auto-vacuum with more pointer-map pages than the check keeps at once
};

// A table with overflow chains under an index three levels deep, and free pages.
void MakeSound(P path, Shape shape) {
  const std::string rows = shape == kManyMaps ? "40000" : "1500";
  Sql(path, std::string("PRAGMA page_size = 1024;") +
                (shape != kPlain ? "PRAGMA auto_vacuum = INCREMENTAL;" : "") +
                "CREATE TABLE T (ID INTEGER PRIMARY KEY, Url TEXT, Body BLOB);"
                "CREATE INDEX U ON T (Url);"
                "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
                rows +
                ") "
                "INSERT INTO T SELECT i, printf('https://example.org/page/%05d', i), "
                "CASE WHEN i % 100 = 0 THEN randomblob(3000) END FROM n;"
                "DELETE FROM T WHERE ID % 3 = 0 OR ID BETWEEN 800 AND 900;");
}

// The file's fields, and the roots of T and U.
class File : public PageFields {
 public:
  explicit File(P path)
      : PageFields(path), table(RootPageOf(path, "T")), index(RootPageOf(path, "U")) {}
  const uint32_t table, index;  // root pages of T and U

  // Where the pointer-map entry of a page sits (one map page covers usable / 5 pages).
  std::pair<uint32_t, uint32_t> MapEntry(uint32_t page) const {
    const uint32_t per_map = kPage / 5 + 1;
    const uint32_t map = (page - 2) / per_map * per_map + 2;
    return {map, 5 * (page - map - 1)};
  }
};

std::string Problem(P path) {
  std::vector<uint32_t> roots =
      Pages(path, "SELECT rootpage FROM sqlite_schema WHERE rootpage > 0");
  roots.insert(roots.begin(), 1);
  const auto pages = static_cast<uint32_t>(std::filesystem::file_size(path) / kPage);
  return CheckPageAccounting({path, kPage, pages, roots, {}});
}

// An overflow chain of table T, in chain order, and the leaf whose cell starts it.
struct Chain {
  uint32_t owner;
  std::vector<uint32_t> pages;
};
Chain FirstChain(P path) {
  // An overflow page's path is its leaf's path, the cell number in three hex digits, '+'
  // and its place in the chain.
  std::string cell_path =
      Query(path,
            "SELECT substr(path, 1, instr(path, '+') - 1) FROM dbstat WHERE name = 'T' AND "
            "pagetype = 'overflow' ORDER BY pageno LIMIT 1")
          .at(0);
  cell_path = cell_path.substr(2, cell_path.size() - 3);  // "3:" before, "|" after
  Chain c;
  c.owner = uint32_t(QueryInt(path, "SELECT pageno FROM dbstat WHERE path = '" +
                                        cell_path.substr(0, cell_path.size() - 3) + "'"));
  c.pages =
      Pages(path, "SELECT pageno FROM dbstat WHERE path LIKE '" + cell_path + "+%' ORDER BY path");
  return c;
}

std::string Twice(uint32_t tree, uint32_t page) {
  return "the b-tree at page " + std::to_string(tree) + " reaches page " + std::to_string(page) +
         ", which is out of range or used twice";
}
std::string NeverUsed(uint32_t page) {
  return "page " + std::to_string(page) + " is never used";
}
std::string WrongMap(uint32_t page) {
  return "the pointer-map entry of page " + std::to_string(page) + " is wrong";
}

// Takes a free leaf off the first trunk, header count included: nothing claims it now.
uint32_t Unclaim(const File& f) {
  const uint32_t leaves = f.Get(f.Trunk(), 4), leaf = f.TrunkLeaves().back();
  f.Put(f.Trunk(), 4, leaves - 1);
  f.Put(1, 36, f.FreeCount() - 1);
  return leaf;
}

// Points the pointer-map entry of a page at another parent.
void MisMap(const File& f, uint32_t page) {
  const auto [map, at] = f.MapEntry(page);
  f.Put(map, at + 1, f.Get(map, at + 1) + 1);
}

TEST(PageAccounting, NamesTheLinkThatIsWrong) {
  // Each case damages the file and returns the problem it must be reported as.
  using Damage = std::function<std::string(const File&)>;
  struct Case {
    const char* what;
    Shape shape;
    Damage damage;
  };
  const std::vector<Case> cases = {
      {"sound", kPlain, [](const File&) { return std::string(); }},
      {"sound, auto-vacuum", kAutoVacuum, [](const File&) { return std::string(); }},
      {"sound, auto-vacuum, many pointer-map pages", kManyMaps,
       [](const File&) { return std::string(); }},
      {"a child claimed by two parents", kPlain,
       [](const File& f) {
         // The walk goes right to left: the second child is reached first, then again.
         f.SetChild(f.table, 0, f.Child(f.table, 1));
         return Twice(f.table, f.Child(f.table, 1));
       }},
      {"a child past the end of the file", kPlain,
       [](const File& f) {
         f.SetChild(f.index, 0, f.Pages() + 3);
         return Twice(f.index, f.Pages() + 3);
       }},
      {"an index page under the table", kPlain,
       [](const File& f) {
         const uint32_t stray = f.Child(f.index, 0);
         f.SetChild(f.table, 0, stray);
         return "the b-tree at page " + std::to_string(f.table) + " holds page " +
                std::to_string(stray) + ", which is not one of its pages";
       }},
      {"a leaf where an interior page belongs", kPlain,
       [](const File& f) {
         // A free page made an empty index leaf, one level above the others.
         const uint32_t leaf = f.TrunkLeaves().front();
         f.Put(leaf, 0, 0x0a000000);
         f.Put(leaf, 4, 0x00040000);  // no cells, content at the end of the page
         f.SetChild(f.index, 0, leaf);
         return "the b-tree at page " + std::to_string(f.index) +
                " has leaves at different depths (page " + std::to_string(leaf) + ")";
       }},
      {"a leaf with overflow one level too deep", kPlain,
       [](const File& f) {
         // A free page made an interior page with no cells between the root and the leaf.
         const uint32_t leaf = FirstChain(f.path()).owner, interior = f.TrunkLeaves().front();
         uint32_t i = 0;
         while (f.Child(f.table, i) != leaf) ++i;
         f.Put(interior, 0, 0x05000000);
         f.Put(interior, 4, 0x00040000);
         f.Put(interior, 8, leaf);
         f.SetChild(f.table, i, interior);
         return "the b-tree at page " + std::to_string(f.table) +
                " has leaves at different depths (page " + std::to_string(leaf) + ")";
       }},
      {"a page nobody claims", kPlain, [](const File& f) { return NeverUsed(Unclaim(f)); }},
      {"a tree page also on the freelist", kPlain,
       [](const File& f) {
         const uint32_t leaf = f.Child(f.table, 0);
         f.Put(f.Trunk(), 8, leaf);
         return "freelist trunk page " + std::to_string(f.Trunk()) + " lists page " +
                std::to_string(leaf) + ", which is out of range or used twice";
       }},
      {"an overflow chain cut short", kPlain,
       [](const File& f) {
         const Chain c = FirstChain(f.path());
         f.Put(c.pages[0], 0, 0);
         return "an overflow chain of page " + std::to_string(c.owner) +
                " reaches page 0, which is out of range or used twice";
       }},
      {"an overflow chain that loops", kPlain,
       [](const File& f) {
         const Chain c = FirstChain(f.path());
         f.Put(c.pages[1], 0, c.pages[0]);
         return "an overflow chain of page " + std::to_string(c.owner) + " reaches page " +
                std::to_string(c.pages[0]) + ", which is out of range or used twice";
       }},
      {"an overflow chain longer than its value", kPlain,
       [](const File& f) {
         const Chain c = FirstChain(f.path());
         f.Put(c.pages.back(), 0, 2);
         return "an overflow chain of page " + std::to_string(c.owner) +
                " is longer than its value";
       }},
      {"the header counts a free page too many", kPlain,
       [](const File& f) {
         const uint32_t count = f.FreeCount();
         f.Put(1, 36, count + 1);
         return "the freelist holds " + std::to_string(count) + " pages, the header says " +
                std::to_string(count + 1);
       }},
      {"a trunk lists more leaves than fit", kPlain,
       [](const File& f) {
         f.Put(f.Trunk(), 4, kPage / 4 - 1);
         return "freelist trunk page " + std::to_string(f.Trunk()) + " lists too many pages";
       }},
      {"a wrong pointer-map entry", kAutoVacuum,
       [](const File& f) {
         const uint32_t leaf = f.Child(f.table, 0);
         MisMap(f, leaf);
         return WrongMap(leaf);
       }},
      {"an overflow page's entry names the wrong owner", kAutoVacuum,
       [](const File& f) {
         const Chain c = FirstChain(f.path());
         MisMap(f, c.pages[1]);
         return WrongMap(c.pages[1]);
       }},
      {"a free page's entry is wrong", kAutoVacuum,
       [](const File& f) {
         const uint32_t leaf = f.TrunkLeaves().front();
         MisMap(f, leaf);
         return WrongMap(leaf);
       }},
      {"a wrong entry far into the file", kManyMaps,
       [](const File& f) {
         const uint32_t count = f.Get(f.table, 3, 2), last = f.Child(f.table, count);
         EXPECT_GT(f.MapEntry(last).first, 16 * (kPage / 5 + 1));
         MisMap(f, last);
         return WrongMap(last);
       }},
      {"two wrong entries: the lower page is named", kAutoVacuum,
       [](const File& f) {
         // The walk claims the last leaf long before the first.
         const uint32_t count = f.Get(f.table, 3, 2);
         const uint32_t first = f.Child(f.table, 0), last = f.Child(f.table, count);
         EXPECT_LT(first, last);
         MisMap(f, last);
         MisMap(f, first);
         return WrongMap(first);
       }},
      {"a wrong entry and a page nobody claims: the page is named", kAutoVacuum,
       [](const File& f) {
         MisMap(f, f.Child(f.table, 0));
         return NeverUsed(Unclaim(f));
       }},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = dir.File(std::string(c.what) + ".db");
    MakeSound(path, c.shape);
    const std::string expected = c.damage(File(path));
    EXPECT_EQ(Problem(path), expected);
  }
}

}  // namespace
}  // namespace tidewell::engine::pagefile
