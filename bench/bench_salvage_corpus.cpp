// Corruption corpus for the salvage: ground-truth databases shaped like the crawler's data,
// damaged copies of each kind, and a scorer that compares what each tool brings back with
// the ground truth, table by table. Runs Tidewell's page-level salvage and the sqlite3
// shell's .recover (with the sqlite_dbpage extension loaded, which Debian's shell lacks)
// over the same files in one run.
//
// A third row, "engine", repairs a copy of each file through the engine's RepairDatabase
// (locking, health check, salvage through SalvageDatabase, atomic replacement), whichever
// salvage it is wired to.
//
//   bench-salvage-corpus WORK_DIR DBPAGE_EXTENSION [FILES_PER_KIND] [FOREIGN_DBS]
// FOREIGN_DBS: real SQLite files nobody here wrote, separated by ':', damaged like the others.
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/engine.h"
#include "engine/errors.h"
#include "engine/health_check.h"
#include "engine/pagefile/salvage.h"
#ifdef TIDEWELL_HAVE_SAMPLE
#include "tools/sample_data.h"
#endif

namespace fs = std::filesystem;
using tidewell::engine::EngineException;

namespace {

// ---------------------------------------------------------------- small SQLite helpers

void Exec(sqlite3* db, const std::string& sql) {
  char* err = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
    std::fprintf(stderr, "SQL failed: %s\n  %s\n", err ? err : "?", sql.substr(0, 200).c_str());
    std::exit(1);
  }
}

std::string ReadFile(const std::string& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}
void WriteFile(const std::string& p, const std::string& d) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(d.data(), static_cast<std::streamsize>(d.size()));
}

// ---------------------------------------------------------------- ground truth

const char* kWords[] = {"crawler", "index",  "page",    "link",  "status", "host",   "queue",
                        "fetch",   "robots", "sitemap", "title", "Größe",  "naïve",  "data",
                        "archive", "news",   "search",  "media", "blog",   "product"};

std::string Words(std::mt19937& rng, size_t bytes) {
  std::string s;
  while (s.size() < bytes) {
    if (!s.empty()) s += ' ';
    s += kWords[rng() % std::size(kWords)];
  }
  return s;
}

// Builds `path` (final state) and `older` (the same database before the last round of
// changes). Rows deleted along the way leave free pages behind.
void MakeGroundTruth(const std::string& path, const std::string& older, uint32_t seed, int links) {
  fs::remove(path);
  fs::remove(older);
  std::mt19937 rng(seed);
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  Exec(db, "PRAGMA page_size=4096; PRAGMA journal_mode=DELETE;");
  Exec(db,
       "CREATE TABLE Links(ID INTEGER PRIMARY KEY, Url TEXT NOT NULL, Status INTEGER, "
       "Checked REAL, Title TEXT, Depth INTEGER);"
       "CREATE UNIQUE INDEX Links_Url ON Links(Url);"
       "CREATE INDEX Links_Status ON Links(Status, Checked DESC);"
       "CREATE TABLE Pages(ID INTEGER PRIMARY KEY, LinkID INTEGER, Fetched TEXT, Body TEXT, "
       "Size INTEGER);"
       "CREATE INDEX Pages_Link ON Pages(LinkID);"
       "CREATE TABLE Queue(QID INTEGER PRIMARY KEY, Url TEXT, Priority INTEGER, Added TEXT);"
       "CREATE TABLE Settings(Name TEXT PRIMARY KEY, Value TEXT);"
       "CREATE TABLE Hosts(Host TEXT, Visits INTEGER, LastSeen REAL, Robots BLOB);");
  auto round = [&](int from, int to) {
    Exec(db, "BEGIN");
    sqlite3_stmt* l = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO Links VALUES(?,?,?,?,?,?)", -1, &l, nullptr);
    sqlite3_stmt* p = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO Pages VALUES(?,?,?,?,?)", -1, &p, nullptr);
    sqlite3_stmt* q = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO Queue VALUES(?,?,?,?)", -1, &q, nullptr);
    for (int i = from; i < to; ++i) {
      std::string url = "https://www." + std::string(kWords[rng() % 20]) + std::to_string(i % 97) +
                        ".example/" + Words(rng, 10 + rng() % 60) + "/" + std::to_string(i);
      for (char& c : url)
        if (c == ' ') c = '-';
      sqlite3_bind_int(l, 1, i);
      sqlite3_bind_text(l, 2, url.c_str(), -1, SQLITE_TRANSIENT);
      int statuses[] = {200, 200, 200, 301, 404, 500};
      sqlite3_bind_int(l, 3, statuses[rng() % 6]);
      sqlite3_bind_double(l, 4, 45000.0 + (rng() % 100000) / 97.0);
      if (rng() % 5) {
        std::string title = Words(rng, 5 + rng() % 40);
        sqlite3_bind_text(l, 5, title.c_str(), -1, SQLITE_TRANSIENT);
      }
      sqlite3_bind_int(l, 6, static_cast<int>(rng() % 8));
      sqlite3_step(l);
      sqlite3_reset(l);
      if (i % 12 == 0) {
        sqlite3_bind_int(p, 1, i / 12);
        sqlite3_bind_int(p, 2, i);
        std::string date =
            "2026-" + std::to_string(1 + rng() % 12) + "-" + std::to_string(1 + rng() % 28);
        sqlite3_bind_text(p, 3, date.c_str(), -1, SQLITE_TRANSIENT);
        std::string body = "<html>" + Words(rng, 500 + rng() % 14000) + "</html>";
        sqlite3_bind_text(p, 4, body.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(p, 5, static_cast<int>(body.size()));
        sqlite3_step(p);
        sqlite3_reset(p);
      }
      if (i % 3 == 0) {
        sqlite3_bind_int(q, 1, i / 3);
        sqlite3_bind_text(q, 2, url.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(q, 3, static_cast<int>(rng() % 10));
        std::string added = "2026-11-" + std::to_string(1 + rng() % 28) + " 12:00:00";
        sqlite3_bind_text(q, 4, added.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_step(q);
        sqlite3_reset(q);
      }
    }
    sqlite3_finalize(l);
    sqlite3_finalize(p);
    sqlite3_finalize(q);
    Exec(db, "COMMIT");
  };
  round(1, links * 3 / 4);
  Exec(db, "BEGIN");
  for (int i = 0; i < 40; ++i) {
    Exec(db, "INSERT INTO Settings VALUES('Option" + std::to_string(i) + "', '" +
                 Words(rng, 3 + rng() % 30) + "')");
  }
  for (int i = 0; i < links / 25; ++i) {
    Exec(db, "INSERT INTO Hosts VALUES('host" + std::to_string(i) + ".example', " +
                 std::to_string(rng() % 5000) + ", " + std::to_string(45000 + i) + ".25, " +
                 (i % 4 ? "randomblob(" + std::to_string(20 + rng() % 200) + ")" : "NULL") + ")");
  }
  // Deleted rows: a run of the queue (whole pages become free) and scattered links.
  Exec(db, "DELETE FROM Queue WHERE QID BETWEEN 200 AND " + std::to_string(200 + links / 12));
  Exec(db, "DELETE FROM Links WHERE ID % 17 = 3");
  Exec(db, "COMMIT");
  sqlite3_close(db);
  fs::copy_file(path, older);
  sqlite3_open(path.c_str(), &db);
  // The last round: statuses change, new rows arrive, more of the queue goes.
  Exec(db, "UPDATE Links SET Status = 304, Checked = Checked + 1 WHERE ID % 5 = 0");
  Exec(db, "UPDATE Settings SET Value = Value || ' (changed)' WHERE rowid % 3 = 0");
  round(links * 3 / 4, links);
  Exec(db, "DELETE FROM Queue WHERE QID % 7 = 1");
  sqlite3_close(db);
}

// A family of schemas no crawler of ours writes: WITHOUT ROWID tables (one keyed in
// another order than declared), a view, a trigger, partial and expression indexes,
// AUTOINCREMENT, a STRICT table; the file's page size, text encoding, auto-vacuum and
// journal mode vary with `variant`. `older` is the same file before a last commit.
void MakeForeignTruth(const std::string& path, const std::string& older, int variant) {
  static const uint32_t kSizes[] = {512, 1024, 4096, 16384, 65536};
  fs::remove(path);
  fs::remove(older);
  std::mt19937 rng(3000 + static_cast<uint32_t>(variant));
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  Exec(db, "PRAGMA page_size=" + std::to_string(kSizes[variant % 5]));
  if (variant % 5 == 0) Exec(db, "PRAGMA auto_vacuum=FULL");
  if (variant % 5 == 1) Exec(db, "PRAGMA encoding='UTF-16le'");
  Exec(db, variant % 5 == 2 ? "PRAGMA journal_mode=WAL" : "PRAGMA journal_mode=DELETE");
  Exec(db,
       "CREATE TABLE Hosts(host TEXT, port INT, visits INT, robots BLOB,"
       " PRIMARY KEY(port, host)) WITHOUT ROWID;"
       "CREATE TABLE Words(word TEXT PRIMARY KEY, freq INT, lang TEXT) WITHOUT ROWID;"
       "CREATE TABLE Fetches(id INTEGER PRIMARY KEY AUTOINCREMENT, url TEXT NOT NULL,"
       " status INT, body TEXT);"
       "CREATE TABLE Metrics(name TEXT, value REAL, n INTEGER) STRICT;"
       "CREATE INDEX Fetches_ok ON Fetches(url) WHERE status = 200;"
       "CREATE INDEX Words_lower ON Words(lower(word), freq);"
       "CREATE VIEW Busy AS SELECT host, visits FROM Hosts WHERE visits > 100;"
       "CREATE TRIGGER Counted AFTER INSERT ON Fetches BEGIN"
       " UPDATE Metrics SET n = n + 1 WHERE name = 'fetches'; END;"
       "INSERT INTO Metrics VALUES('fetches', 0.5, 0);");
  auto fill = [&](int from, int to) {
    Exec(db, "BEGIN");
    for (int i = from; i < to; ++i) {
      std::string host = std::string(kWords[rng() % 20]) + std::to_string(i) + ".example";
      Exec(db, "INSERT INTO Hosts VALUES('" + host + "', " + std::to_string(80 + i % 3) + ", " +
                   std::to_string(rng() % 500) + ", " +
                   (i % 3 ? "randomblob(" + std::to_string(10 + rng() % 90) + ")" : "NULL") + ")");
      Exec(db, "INSERT INTO Words VALUES('" + Words(rng, 4) + std::to_string(i) + "', " +
                   std::to_string(rng() % 10000) + ", '" + (i % 2 ? "de" : "en") + "')");
      if (i % 2 == 0) {
        Exec(db, "INSERT INTO Fetches(url, status, body) VALUES('https://" + host + "/" +
                     std::to_string(i) + "', " + (i % 5 ? "200" : "404") + ", '" +
                     Words(rng, 20 + rng() % (i % 7 == 0 ? 3000 : 300)) + "')");
      }
      if (i % 10 == 0) {
        Exec(db, "INSERT INTO Metrics VALUES('m" + std::to_string(i) + "', " + std::to_string(i) +
                     ".25, " + std::to_string(i) + ")");
      }
    }
    Exec(db, "COMMIT");
  };
  fill(0, 3000);
  Exec(db, "DELETE FROM Hosts WHERE visits % 11 = 0; DELETE FROM Fetches WHERE id % 13 = 0");
  sqlite3_close(db);
  fs::copy_file(path, older);
  sqlite3_open(path.c_str(), &db);
  Exec(db,
       "UPDATE Hosts SET visits = visits + 1 WHERE port = 81;"
       "UPDATE Words SET freq = freq + 7 WHERE lang = 'de'");
  fill(3000, 3600);
  sqlite3_close(db);
}

// ---------------------------------------------------------------- page facts

struct PageInfo {
  std::string name;
  std::string type;  // internal, leaf, overflow
};

std::map<uint32_t, PageInfo> PageMap(const std::string& path) {
  std::map<uint32_t, PageInfo> out;
  sqlite3* db = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db, "SELECT pageno, name, pagetype FROM dbstat", -1, &st, nullptr);
  while (sqlite3_step(st) == SQLITE_ROW) {
    out[static_cast<uint32_t>(sqlite3_column_int(st, 0))] = {
        reinterpret_cast<const char*>(sqlite3_column_text(st, 1)),
        reinterpret_cast<const char*>(sqlite3_column_text(st, 2))};
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
  return out;
}

// The user tables of a file: those rows are scored in.
std::set<std::string> TableNames(const std::string& path) {
  std::set<std::string> out;
  sqlite3* db = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db,
                         "SELECT name FROM sqlite_schema WHERE type='table' AND name NOT LIKE "
                         "'sqlite\\_%' ESCAPE '\\'",
                         -1, &st, nullptr) == SQLITE_OK) {
    while (sqlite3_step(st) == SQLITE_ROW) {
      out.emplace(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
    }
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
  return out;
}

uint32_t PageSizeOf(const std::string& data) {
  if (data.size() < 100) return 4096;
  uint32_t ps = (uint32_t(uint8_t(data[16])) << 8) | uint8_t(data[17]);
  return ps == 1 ? 65536 : ps;
}

// ---------------------------------------------------------------- damage

// Copies a database with the journal or log beside it, replacing what `to` had.
void CopyWithCompanions(const std::string& from, const std::string& to) {
  for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
    fs::remove(to + suffix);
    if (fs::exists(from + suffix)) fs::copy_file(from + suffix, to + suffix);
  }
}

struct Damaged {
  std::string kind;
  std::string path;
  std::string truth;  // empty for inputs that are not databases
  std::string older;  // the other version of the file, whose rows are told apart
};

void Randomize(std::string& d, size_t at, size_t len, std::mt19937& rng) {
  for (size_t k = at; k < d.size() && k < at + len; ++k) d[k] = static_cast<char>(rng());
}

std::vector<uint32_t> Pick(const std::map<uint32_t, PageInfo>& pages,
                           const std::function<bool(const PageInfo&)>& want) {
  std::vector<uint32_t> out;
  for (const auto& [pg, info] : pages) {
    if (want(info)) out.push_back(pg);
  }
  return out;
}

void Put32(std::string& d, size_t at, uint32_t v) {
  for (int k = 0; k < 4; ++k) d[at + static_cast<size_t>(k)] = static_cast<char>(v >> (24 - 8 * k));
}

// A hot rollback journal, as a crash inside a commit leaves it: the original of each page
// in `pages`, checksummed, and the database's size before the transaction.
std::string HotJournal(const std::string& before, const std::vector<uint32_t>& pages, uint32_t ps) {
  const uint32_t nonce = 0x5eed1234, sector = 512;
  std::string j(sector, '\0');
  const char magic[] = "\xd9\xd5\x05\xf9\x20\xa1\x63\xd7";
  j.replace(0, 8, magic, 8);
  Put32(j, 8, static_cast<uint32_t>(pages.size()));
  Put32(j, 12, nonce);
  Put32(j, 16, static_cast<uint32_t>(before.size() / ps));
  Put32(j, 20, sector);
  Put32(j, 24, ps);
  for (uint32_t pg : pages) {
    std::string rec(8 + ps, '\0');
    Put32(rec, 0, pg);
    rec.replace(4, ps, before, static_cast<size_t>(pg - 1) * ps, ps);
    uint32_t sum = nonce;
    for (uint32_t i = ps - 200; i > 0 && i < ps; i -= 200) sum += static_cast<uint8_t>(rec[4 + i]);
    Put32(rec, 4 + ps, sum);
    j += rec;
  }
  return j;
}

// A write-ahead log holding one commit: the pages in `pages` as `after` has them, the
// database `after.size() / ps` pages long once it commits.
std::string WriteAheadLog(const std::string& after, const std::vector<uint32_t>& pages,
                          uint32_t ps) {
  std::string w(32, '\0');
  Put32(w, 0, 0x377f0683);  // checksums over big-endian words
  Put32(w, 4, 3007000);
  Put32(w, 8, ps);
  Put32(w, 16, 0x1234abcd);
  Put32(w, 20, 0x0badf00d);
  uint32_t s0 = 0, s1 = 0;
  auto sums = [&](const std::string& b, size_t at, size_t n) {
    for (size_t i = at; i < at + n; i += 8) {
      auto word = [&](size_t k) {
        return uint32_t(uint8_t(b[k])) << 24 | uint32_t(uint8_t(b[k + 1])) << 16 |
               uint32_t(uint8_t(b[k + 2])) << 8 | uint32_t(uint8_t(b[k + 3]));
      };
      s0 += word(i) + s1;
      s1 += word(i + 4) + s0;
    }
  };
  sums(w, 0, 24);
  Put32(w, 24, s0);
  Put32(w, 28, s1);
  for (size_t k = 0; k < pages.size(); ++k) {
    std::string f(24, '\0');
    Put32(f, 0, pages[k]);
    if (k + 1 == pages.size()) Put32(f, 4, static_cast<uint32_t>(after.size() / ps));
    f.replace(8, 8, w, 16, 8);
    f += after.substr(static_cast<size_t>(pages[k] - 1) * ps, ps);
    sums(f, 0, 8);
    sums(f, 24, ps);
    Put32(f, 16, s0);
    Put32(f, 20, s1);
    w += f;
  }
  return w;
}

std::vector<Damaged> MakeCorpus(const std::string& dir, int per_kind,
                                const std::vector<std::string>& foreign) {
  std::vector<Damaged> corpus;
  // Ground truths: our own crawler-shaped generator's (with an older version of each file),
  // a family of foreign schemas (also with an older version), where the tools/ sample
  // writer is built files written through the engine itself, and a real SQLite file that
  // nobody here wrote, when one is given.
  struct Truth {
    std::string path, older, tag;
  };
  std::vector<Truth> truths;
  for (int n = 0; n < per_kind; ++n) {
    Truth t{dir + "/truth" + std::to_string(n) + ".db", dir + "/older" + std::to_string(n) + ".db",
            std::to_string(n)};
    MakeGroundTruth(t.path, t.older, 1000 + static_cast<uint32_t>(n), 9000 + 3000 * n);
    truths.push_back(t);
#ifdef TIDEWELL_HAVE_SAMPLE
    Truth e{dir + "/engine-truth" + std::to_string(n) + ".mdb", "", "e" + std::to_string(n)};
    fs::remove(e.path);
    tidewell::sample::SampleOptions opt;
    opt.size_mb = 2 + n;
    opt.seed = 500 + static_cast<uint32_t>(n);
    tidewell::sample::MakeSampleDatabase(e.path, opt);
    truths.push_back(e);
#endif
  }
  for (int v = 0; v < 5; ++v) {
    Truth f{dir + "/foreign" + std::to_string(v) + ".db",
            dir + "/foreign-older" + std::to_string(v) + ".db", "f" + std::to_string(v)};
    MakeForeignTruth(f.path, f.older, v);
    truths.push_back(f);
  }
  for (size_t i = 0; i < foreign.size(); ++i) {
    // Only the file itself is damaged: one whose log still holds commits is not what its
    // ground truth reads.
    if (!fs::exists(foreign[i]) ||
        (fs::exists(foreign[i] + "-wal") && fs::file_size(foreign[i] + "-wal") > 0)) {
      std::fprintf(stderr, "skipping %s: missing, or its log not checkpointed\n",
                   foreign[i].c_str());
      continue;
    }
    Truth r{dir + "/real" + std::to_string(i) + ".db", "", "real" + std::to_string(i)};
    fs::remove(r.path);
    fs::copy_file(foreign[i], r.path);
    truths.push_back(r);
  }
  for (size_t n = 0; n < truths.size(); ++n) {
    const std::string truth = truths[n].path;
    const std::string older = truths[n].older;
    const std::string clean = ReadFile(truth);
    const std::string old = older.empty() ? std::string() : ReadFile(older);
    const std::set<std::string> tables = TableNames(truth);
    auto is_table = [&](const PageInfo& i) { return tables.count(i.name) > 0; };
    auto pages = PageMap(truth);
    std::mt19937 rng(77 + static_cast<uint32_t>(n));
    auto any = [&](const std::vector<uint32_t>& v) { return v[rng() % v.size()]; };
    auto emit = [&](const std::string& kind, const std::string& data) {
      std::string p = dir + "/" + kind + "-" + truths[n].tag + ".db";
      WriteFile(p, data);
      corpus.push_back({kind, p, truth, older});
    };
    const uint32_t ps = PageSizeOf(clean);
    auto page_of = [&](uint32_t pg) { return static_cast<size_t>(pg - 1) * ps; };
    const uint32_t count = static_cast<uint32_t>(clean.size() / ps);

    {
      std::string d = clean;
      auto leaves = Pick(pages, [&](const PageInfo& i) { return i.type == "leaf" && is_table(i); });
      size_t at = page_of(any(leaves));
      std::fill(d.begin() + static_cast<long>(at), d.begin() + static_cast<long>(at + ps), '\0');
      emit("leaf_zeroed", d);
    }
    if (auto interior =
            Pick(pages, [&](const PageInfo& i) { return i.type == "internal" && is_table(i); });
        !interior.empty()) {
      std::string d = clean;
      Randomize(d, page_of(any(interior)), ps, rng);
      emit("interior_overwritten", d);
    }
    {
      std::string d = clean;
      Randomize(d, 0, 100, rng);
      emit("header_smashed", d);
    }
    {
      std::string d = clean;
      Randomize(d, 100 + rng() % std::min<uint32_t>(2000, ps / 2), std::min<uint32_t>(600, ps / 4),
                rng);
      emit("catalog_damaged", d);
    }
    {
      // Page 1's b-tree header and its cell pointers, the statements left as they were.
      std::string d = clean;
      uint32_t cells = (uint32_t(uint8_t(d[103])) << 8) | uint8_t(d[104]);
      uint32_t header = d[100] == 5 ? 12 : 8;
      Randomize(d, 100, header + 2 * cells, rng);
      emit("catalog_pointers", d);
    }
    if (clean[100] == 5) {
      // A catalog of several pages: page 1's header and cell pointers smashed so that it
      // still reads as an interior page, its right child and cells leading anywhere. Its
      // own random numbers, so that the kinds after it damage what they did before.
      std::mt19937 own(991 + static_cast<uint32_t>(n));
      std::string d = clean;
      const uint32_t cells = (uint32_t(uint8_t(d[103])) << 8) | uint8_t(d[104]);
      const uint32_t content = (uint32_t(uint8_t(d[105])) << 8) | uint8_t(d[106]);
      d[101] = d[102] = d[107] = 0;
      Put32(d, 108, 2 + static_cast<uint32_t>(own() % (count - 1)));
      for (uint32_t i = 0; i < cells && content + 4 < ps; ++i) {
        const uint32_t at = content + static_cast<uint32_t>(own() % (ps - content - 4));
        d[112 + 2 * i] = static_cast<char>(at >> 8);
        d[113 + 2 * i] = static_cast<char>(at);
      }
      emit("catalog_interior_smashed", d);
    }
    {
      std::string d = clean;
      d.resize(clean.size() * (55 + rng() % 35) / 100 + rng() % ps);
      emit("truncated", d);
    }
    {
      std::string d = clean;
      uint32_t trunk = (uint32_t(uint8_t(d[32])) << 24) | (uint32_t(uint8_t(d[33])) << 16) |
                       (uint32_t(uint8_t(d[34])) << 8) | uint8_t(d[35]);
      if (trunk >= 2 && trunk <= count) Randomize(d, page_of(trunk), ps, rng);
      emit("freelist_damaged", d);
    }
    {
      std::string d = clean;
      // An overflow page in the middle of a chain: the chain ends early.
      auto over = Pick(pages, [](const PageInfo& i) { return i.type == "overflow"; });
      std::vector<uint32_t> middle;
      for (uint32_t pg : over) {
        if (d[page_of(pg)] || d[page_of(pg) + 1] || d[page_of(pg) + 2] || d[page_of(pg) + 3]) {
          middle.push_back(pg);
        }
      }
      for (int k = 0; k < 3 && !middle.empty(); ++k) {
        size_t at = page_of(any(middle));
        std::fill(d.begin() + static_cast<long>(at), d.begin() + static_cast<long>(at + ps), '\0');
      }
      emit("overflow_broken", d);
    }
    {
      std::string d = clean;
      uint32_t hits = std::max<uint32_t>(1, count / 100);
      for (uint32_t k = 0; k < hits; ++k) Randomize(d, page_of(2 + rng() % (count - 1)), ps, rng);
      emit("pages_1pct", d);
    }
    {
      std::string d = clean;
      for (int k = 0; k < 24; ++k) d[rng() % d.size()] ^= static_cast<char>(1 << (rng() % 8));
      emit("bit_flips", d);
    }
    if (!old.empty()) {
      // Pages that changed in the last commit.
      std::vector<uint32_t> changed;
      for (uint32_t pg = 2; pg <= count && page_of(pg) + ps <= old.size(); ++pg) {
        if (std::memcmp(clean.data() + page_of(pg), old.data() + page_of(pg), ps) != 0) {
          changed.push_back(pg);
        }
      }
      std::string d = clean;
      for (int k = 0; k < 4 && !changed.empty(); ++k) {
        uint32_t pg = any(changed);
        std::memcpy(d.data() + page_of(pg), old.data() + page_of(pg), ps);
      }
      emit("older_pages", d);
      // A commit half applied: every other changed page is still the old one.
      d = clean;
      for (size_t k = 0; k < changed.size(); k += 2) {
        std::memcpy(d.data() + page_of(changed[k]), old.data() + page_of(changed[k]), ps);
      }
      emit("half_commit", d);
      // The old file with some pages of the next commit written into it without a
      // journal: the committed state is the old file.
      d = old;
      for (size_t k = 0; k < changed.size(); k += 3) {
        std::memcpy(d.data() + page_of(changed[k]), clean.data() + page_of(changed[k]), ps);
      }
      std::string p = dir + "/uncommitted_pages-" + truths[n].tag + ".db";
      WriteFile(p, d);
      corpus.push_back({"uncommitted_pages", p, older, truth});
      // A crash inside a commit: every page of the new version written, the journal still
      // hot, and then the file's header smashed. The committed state is the old file.
      std::vector<uint32_t> journaled = changed;
      journaled.insert(journaled.begin(), 1);
      d = clean;
      Randomize(d, 0, 100, rng);
      p = dir + "/hot_journal-" + truths[n].tag + ".db";
      WriteFile(p, d);
      WriteFile(p + "-journal", HotJournal(old, journaled, ps));
      corpus.push_back({"hot_journal", p, older, truth});
      // The last commit still in the write-ahead log, not yet copied into the file, and
      // the file's header smashed. The committed state is the new file.
      d = old;
      Randomize(d, 0, 100, rng);
      std::vector<uint32_t> logged;
      for (uint32_t pg = 2; pg <= count; ++pg)
        if (page_of(pg) + ps > old.size() ||
            std::memcmp(clean.data() + page_of(pg), old.data() + page_of(pg), ps) != 0)
          logged.push_back(pg);
      p = dir + "/wal_commit-" + truths[n].tag + ".db";
      WriteFile(p, d);
      WriteFile(p + "-wal", WriteAheadLog(clean, logged, ps));
      corpus.push_back({"wal_commit", p, truth, older});
    }
  }
  // Inputs that are not databases at all.
  std::mt19937 rng(5);
  auto junk = [&](const std::string& name, const std::string& data) {
    std::string p = dir + "/not_db-" + name;
    WriteFile(p, data);
    corpus.push_back({"not_a_database", p, "", ""});
  };
  std::string random(200000, '\0');
  Randomize(random, 0, random.size(), rng);
  junk("random.bin", random);
  junk("empty.db", "");
  junk("zeros.db", std::string(65536, '\0'));
  std::string text;
  while (text.size() < 50000) text += "This is a text file, not a database. Zeile für Zeile.\r\n";
  junk("text.txt", text);
  std::string fake = "SQLite format 3";
  fake.push_back('\0');
  fake += random.substr(0, 40000);
  junk("fake_header.db", fake);
  return corpus;
}

// ---------------------------------------------------------------- scoring

using Row = std::string;  // values serialized with their types

Row RowOf(sqlite3_stmt* st, int first, int end) {
  Row r;
  for (int c = first; c < end; ++c) {
    int t = sqlite3_column_type(st, c);
    r += static_cast<char>('0' + t);
    if (t == SQLITE_INTEGER) {
      r += std::to_string(sqlite3_column_int64(st, c));
    } else if (t == SQLITE_FLOAT) {
      double v = sqlite3_column_double(st, c);
      r.append(reinterpret_cast<const char*>(&v), 8);
    } else if (t != SQLITE_NULL) {
      const void* b = sqlite3_column_blob(st, c);
      int n = sqlite3_column_bytes(st, c);
      r += std::to_string(n) + ":";
      if (b) r.append(static_cast<const char*>(b), static_cast<size_t>(n));
    }
    r += '|';
  }
  return r;
}

// Rows of each table under their key: the rowid, or a WITHOUT ROWID table's primary key.
using TableRows = std::map<std::string, std::unordered_map<std::string, Row>>;

// The primary key columns of a WITHOUT ROWID table, quoted and in key order; empty for a
// table with rowids.
std::string KeyColumns(sqlite3* db, const std::string& table) {
  std::string cols;
  sqlite3_stmt* st = nullptr;
  std::string sql = "SELECT wr FROM pragma_table_list WHERE name = ?1";
  bool wr = false;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK) {
    sqlite3_bind_text(st, 1, table.c_str(), -1, SQLITE_TRANSIENT);
    wr = sqlite3_step(st) == SQLITE_ROW && sqlite3_column_int(st, 0) != 0;
  }
  sqlite3_finalize(st);
  if (!wr) return cols;
  sql = "SELECT name FROM pragma_table_info(?1) WHERE pk > 0 ORDER BY pk";
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK) {
    sqlite3_bind_text(st, 1, table.c_str(), -1, SQLITE_TRANSIENT);
    while (sqlite3_step(st) == SQLITE_ROW) {
      if (!cols.empty()) cols += ",";
      cols += "\"" + std::string(reinterpret_cast<const char*>(sqlite3_column_text(st, 0))) + "\"";
    }
  }
  sqlite3_finalize(st);
  return cols;
}

// Reads the tables named in `tables`; any other user table of the file is a lost-and-found
// table and goes to `lost_tables`.
TableRows ReadTables(const std::string& path, const std::set<std::string>& tables,
                     std::set<std::string>* lost_tables = nullptr) {
  TableRows out;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return out;
  }
  std::vector<std::string> names;
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT name FROM sqlite_schema WHERE type='table'", -1, &st,
                         nullptr) == SQLITE_OK) {
    while (sqlite3_step(st) == SQLITE_ROW) {
      names.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
    }
  }
  sqlite3_finalize(st);
  for (const std::string& n : names) {
    if (n.rfind("sqlite_", 0) == 0) continue;
    if (!tables.count(n)) {
      if (lost_tables) lost_tables->insert(n);
      continue;
    }
    auto& rows = out[n];
    std::string key = KeyColumns(db, n);
    int key_count = key.empty() ? 1 : static_cast<int>(std::count(key.begin(), key.end(), ',')) + 1;
    std::string sql =
        "SELECT " + (key.empty() ? std::string("rowid") : key) + ", * FROM \"" + n + "\"";
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK) {
      while (sqlite3_step(st) == SQLITE_ROW) {
        rows[RowOf(st, 0, key_count)] = RowOf(st, key_count, sqlite3_column_count(st));
      }
    }
    sqlite3_finalize(st);
  }
  sqlite3_close(db);
  return out;
}

int64_t CountRows(const std::string& path, const std::set<std::string>& tables) {
  int64_t n = 0;
  sqlite3* db = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  for (const auto& t : tables) {
    sqlite3_stmt* st = nullptr;
    std::string sql = "SELECT count(*) FROM \"" + t + "\"";
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW) {
      n += sqlite3_column_int64(st, 0);
    }
    sqlite3_finalize(st);
  }
  sqlite3_close(db);
  return n;
}

struct Score {
  int64_t truth = 0, exact = 0, missing = 0, wrong = 0, undetectable = 0, wrong_table = 0,
          extra = 0, lost_found = 0, lost_rows = 0, refused = 0, files = 0, unsound = 0;
  double seconds = 0;
  void Add(const Score& o) {
    unsound += o.unsound;
    truth += o.truth;
    exact += o.exact;
    missing += o.missing;
    wrong += o.wrong;
    undetectable += o.undetectable;
    wrong_table += o.wrong_table;
    extra += o.extra;
    lost_found += o.lost_found;
    lost_rows += o.lost_rows;
    refused += o.refused;
    files += o.files;
    seconds += o.seconds;
  }
};

// A repaired file must pass SQLite's integrity_check and our own check (page accounting,
// quick_check, every index against its table); 1 when either finds something.
int64_t Unsound(const std::string& path) {
  sqlite3* db = nullptr;
  int64_t bad = 1;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    bool ok = tidewell::engine::IntegrityCheckVerdict(db).healthy &&
              tidewell::engine::CheckDatabaseHealth(db, path, {}).healthy;
    bad = ok ? 0 : 1;
    if (bad) std::fprintf(stderr, "unsound after repair: %s\n", path.c_str());
  }
  sqlite3_close(db);
  return bad;
}

// A record as a lost-and-found table holds it: its rowid (NULL for a WITHOUT ROWID table)
// and its fields in the order the file stores them, numbers compared by value.
std::string Signature(sqlite3_stmt* st, int first, int end) {
  std::string r;
  for (int c = first; c < end; ++c) {
    double v = sqlite3_column_double(st, c);
    if (sqlite3_column_type(st, c) == SQLITE_FLOAT && v == std::floor(v) && std::fabs(v) < 9e18)
      r += "1" + std::to_string(static_cast<int64_t>(v)) + "|";
    else
      r += RowOf(st, c, c + 1);
  }
  return r;
}

// The ground truth's rows that `missed` says did not come back exactly, as signatures: an
// INTEGER PRIMARY KEY is stored as NULL in its record, a WITHOUT ROWID table's record holds
// its key columns first.
std::unordered_multiset<std::string> MissedSignatures(
    const std::string& truth_path, const std::map<std::string, std::set<std::string>>& missed) {
  std::unordered_multiset<std::string> out;
  sqlite3* db = nullptr;
  sqlite3_open_v2(truth_path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  for (const auto& [table, keys] : missed) {
    std::string key = KeyColumns(db, table);
    struct Column {
      std::string name, type;
      int pk;
    };
    std::vector<Column> cols;
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "SELECT name, upper(type), pk FROM pragma_table_info(?1)", -1, &st,
                       nullptr);
    sqlite3_bind_text(st, 1, table.c_str(), -1, SQLITE_TRANSIENT);
    while (sqlite3_step(st) == SQLITE_ROW)
      cols.push_back({reinterpret_cast<const char*>(sqlite3_column_text(st, 0)),
                      reinterpret_cast<const char*>(sqlite3_column_text(st, 1)),
                      sqlite3_column_int(st, 2)});
    sqlite3_finalize(st);
    const int pks = static_cast<int>(
        std::count_if(cols.begin(), cols.end(), [](const Column& c) { return c.pk > 0; }));
    std::vector<std::string> fields;
    if (key.empty()) {
      for (const Column& c : cols)
        fields.push_back(pks == 1 && c.pk == 1 && c.type == "INTEGER" ? std::string("NULL")
                                                                      : "\"" + c.name + "\"");
    } else {
      for (int k = 1; k <= pks; ++k)
        for (const Column& c : cols)
          if (c.pk == k) fields.push_back("\"" + c.name + "\"");
      for (const Column& c : cols)
        if (c.pk == 0) fields.push_back("\"" + c.name + "\"");
    }
    std::string sql = "SELECT " + (key.empty() ? std::string("rowid") : key) + ", " +
                      (key.empty() ? "rowid" : "NULL");
    for (const std::string& f : fields) sql += ", " + f;
    sql += " FROM \"" + table + "\"";
    const int key_count = key.empty() ? 1 : pks;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK) {
      while (sqlite3_step(st) == SQLITE_ROW)
        if (keys.count(RowOf(st, 0, key_count)))
          out.insert(Signature(st, key_count, sqlite3_column_count(st)));
    }
    sqlite3_finalize(st);
  }
  sqlite3_close(db);
  return out;
}

// How many records of the lost-and-found tables are ground-truth rows that did not come
// back in their own table, each row counted once. Both layouts are read: .recover's
// (rootpgno, pgno, nfield, id, c0...) and ours (SourcePage, SourceRowid, FieldCount,
// Field1...).
int64_t LostRecordsThatAreRows(const std::string& path, const std::set<std::string>& lost_tables,
                               std::unordered_multiset<std::string> missed) {
  int64_t n = 0;
  sqlite3* db = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  for (const std::string& t : lost_tables) {
    std::vector<std::string> cols;
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "SELECT name FROM pragma_table_info(?1)", -1, &st, nullptr);
    sqlite3_bind_text(st, 1, t.c_str(), -1, SQLITE_TRANSIENT);
    while (sqlite3_step(st) == SQLITE_ROW)
      cols.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
    sqlite3_finalize(st);
    auto at = [&](const char* name) {
      return static_cast<int>(std::find(cols.begin(), cols.end(), name) - cols.begin());
    };
    const bool theirs = at("nfield") < static_cast<int>(cols.size());
    const int id = theirs ? at("id") : at("SourceRowid");
    const int count = theirs ? at("nfield") : at("FieldCount");
    const int first = theirs ? id + 1 : count + 1;
    if (id >= static_cast<int>(cols.size()) || count >= static_cast<int>(cols.size())) continue;
    std::string sql = "SELECT *  FROM \"" + t + "\"";
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) continue;
    while (sqlite3_step(st) == SQLITE_ROW) {
      const int fields = sqlite3_column_int(st, count);
      if (fields < 0 || first + fields > sqlite3_column_count(st)) continue;
      // Ours gives a record that has no rowid (an index page's) the rowid 0.
      const bool no_rowid = !theirs && sqlite3_column_type(st, id) == SQLITE_INTEGER &&
                            sqlite3_column_int64(st, id) == 0;
      std::string sig = (no_rowid ? std::string("5|") : Signature(st, id, id + 1)) +
                        Signature(st, first, first + fields);
      if (auto it = missed.find(sig); it != missed.end()) {
        missed.erase(it);
        ++n;
      }
    }
    sqlite3_finalize(st);
  }
  sqlite3_close(db);
  return n;
}

// Wrong values on pages hit by bit flips or put back from an older version are counted
// apart: no reader of this format can tell them from the real values.
Score Compare(const Damaged& d, const std::string& repaired, const TableRows& truth,
              const TableRows& older) {
  Score s;
  std::set<std::string> lost_tables, names;
  for (const auto& [t, rows] : truth) names.insert(t);
  TableRows got = ReadTables(repaired, names, &lost_tables);
  s.lost_found = CountRows(repaired, lost_tables);
  std::unordered_map<Row, std::string> owner;  // row values -> its true table
  for (const auto& [t, rows] : truth) {
    for (const auto& [id, r] : rows) owner[r] = t;
  }
  std::map<std::string, std::set<std::string>> missed;  // truth rows not back exactly
  for (const auto& [t, rows] : truth) {
    s.truth += static_cast<int64_t>(rows.size());
    auto g = got.find(t);
    for (const auto& [id, r] : rows) {
      if (g == got.end() || !g->second.count(id)) {
        ++s.missing;
        missed[t].insert(id);
        continue;
      }
      const Row& have = g->second.at(id);
      if (have == r) {
        ++s.exact;
      } else {
        missed[t].insert(id);
        bool stale = false;
        auto o = older.find(t);
        if (o != older.end() && o->second.count(id) && o->second.at(id) == have) stale = true;
        bool versions =
            d.kind == "older_pages" || d.kind == "half_commit" || d.kind == "uncommitted_pages";
        if (d.kind == "bit_flips" || (versions && stale)) {
          ++s.undetectable;
        } else {
          ++s.wrong;
        }
      }
    }
  }
  for (const auto& [t, rows] : got) {
    auto tr = truth.find(t);
    for (const auto& [id, r] : rows) {
      if (tr != truth.end() && tr->second.count(id)) continue;
      auto o = owner.find(r);
      if (o != owner.end() && o->second != t) {
        ++s.wrong_table;
      } else {
        ++s.extra;
      }
    }
  }
  if (s.lost_found > 0)
    s.lost_rows = LostRecordsThatAreRows(repaired, lost_tables, MissedSignatures(d.truth, missed));
  return s;
}

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::string Quote(const std::string& s) {
  return "'" + s + "'";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s WORK_DIR DBPAGE_EXTENSION [FILES_PER_KIND] [FOREIGN_DB]\n",
                 argv[0]);
    return 2;
  }
  std::string dir = argv[1];
  std::string ext = fs::absolute(argv[2]).string();
  int per_kind = argc > 3 ? std::atoi(argv[3]) : 3;
  std::vector<std::string> foreign;
  for (std::string list = argc > 4 ? argv[4] : ""; !list.empty();) {
    const size_t colon = list.find(':');
    if (colon != 0) foreign.push_back(list.substr(0, colon));
    list = colon == std::string::npos ? "" : list.substr(colon + 1);
  }
  fs::create_directories(dir);
  dir = fs::absolute(dir).string();

  // .recover must really work with the extension before any comparison means anything.
  {
    std::string healthy = dir + "/check-healthy.db", out = dir + "/check-recovered.db";
    fs::remove(healthy);
    fs::remove(out);
    sqlite3* db = nullptr;
    sqlite3_open(healthy.c_str(), &db);
    Exec(db,
         "CREATE TABLE t(a INTEGER PRIMARY KEY, b TEXT); WITH RECURSIVE n(i) AS (SELECT 1 "
         "UNION ALL SELECT i+1 FROM n WHERE i<1000) INSERT INTO t SELECT i, 'row ' || i FROM n;");
    sqlite3_close(db);
    std::string cmd = "sqlite3 -cmd " + Quote(".load " + ext) + " " + Quote(healthy) +
                      " .recover 2>/dev/null | sqlite3 " + Quote(out);
    int rc = std::system(cmd.c_str());
    std::set<std::string> none;
    int64_t n = CountRows(out, {"t"});
    std::printf("check: .recover with %s on a healthy 1000-row file -> %" PRId64
                " rows (exit %d)\n",
                ext.c_str(), n, rc);
    if (n != 1000) {
      std::fprintf(stderr, ".recover does not work with the extension; no comparison made\n");
      return 1;
    }
  }

  std::printf("building corpus in %s (%d ground truths)...\n", dir.c_str(), per_kind);
  std::vector<Damaged> corpus = MakeCorpus(dir, per_kind, foreign);
  std::map<std::string, TableRows> truth_cache, older_cache;
  std::vector<std::string> kinds;
  std::map<std::string, Score> ours, theirs, engine;
  // Each real file's scores by kind, under its tag ("real0", ...).
  std::map<std::string, std::map<std::string, Score>> real_ours, real_theirs;
  for (const Damaged& d : corpus) {
    if (std::find(kinds.begin(), kinds.end(), d.kind) == kinds.end()) kinds.push_back(d.kind);
    if (!d.truth.empty() && !truth_cache.count(d.truth)) {
      std::set<std::string> names = TableNames(d.truth);
      truth_cache[d.truth] = ReadTables(d.truth, names);
      if (!d.older.empty()) older_cache[d.truth] = ReadTables(d.older, names);
    }
    static const TableRows kEmpty;
    const TableRows& truth = d.truth.empty() ? kEmpty : truth_cache[d.truth];
    const TableRows& older = d.truth.empty() ? kEmpty : older_cache[d.truth];

    std::string out1 = d.path + ".tidewell", out2 = d.path + ".recover";
    fs::remove(out1);
    fs::remove(out2);
    Score a, b;
    a.files = b.files = 1;
    double t0 = Now();
    bool refused = false;
    try {
      tidewell::engine::PageLevelSalvage(d.path, out1, {});
    } catch (const EngineException& e) {
      refused = true;
      if (e.error().number == tidewell::engine::kErrCannotRepair && !fs::exists(out1))
        a.refused = 1;
    }
    a.seconds = Now() - t0;
    // SQLite plays a hot journal back into the file it opens: each tool gets its own copy.
    const std::string recover_in = d.path + ".recover-in";
    CopyWithCompanions(d.path, recover_in);
    t0 = Now();
    std::string cmd = "sqlite3 -cmd " + Quote(".load " + ext) + " " + Quote(recover_in) +
                      " .recover 2>/dev/null | sqlite3 " + Quote(out2) + " >/dev/null 2>&1";
    int rc = std::system(cmd.c_str());
    b.seconds = Now() - t0;
    if (d.truth.empty()) {
      // A clean refusal: an error and no database with tables made up from noise.
      std::set<std::string> lost;
      TableRows got = ReadTables(out2, {}, &lost);
      if (rc != 0 || (got.empty() && CountRows(out2, lost) == 0)) b.refused = 1;
      if (!refused) {
        std::set<std::string> l1;
        ReadTables(out1, {}, &l1);
        a.lost_found = CountRows(out1, l1);
      }
      b.lost_found = CountRows(out2, lost);
    } else {
      if (!refused) {
        Score s = Compare(d, out1, truth, older);
        s.seconds = a.seconds;
        s.files = 1;
        s.unsound = Unsound(out1);
        a = s;
      } else {
        for (const auto& [t, rows] : truth) a.truth += static_cast<int64_t>(rows.size());
        a.missing = a.truth;
      }
      Score s = Compare(d, out2, truth, older);
      s.seconds = b.seconds;
      s.files = 1;
      b = s;
    }
    // The repair through the engine, on a copy: it works in place.
    Score c;
    c.files = 1;
    {
      std::string copy = d.path + ".engine";
      fs::remove(copy + ".damaged");
      CopyWithCompanions(d.path, copy);
      t0 = Now();
      bool engine_refused = false;
      try {
        tidewell::engine::SqliteEngine().RepairDatabase(copy);
      } catch (const EngineException& e) {
        engine_refused = true;
        if (e.error().number == tidewell::engine::kErrCannotRepair &&
            ReadFile(copy) == ReadFile(d.path)) {
          c.refused = 1;
        }
      }
      double secs = Now() - t0;
      if (d.truth.empty()) {
        if (!engine_refused) {
          std::set<std::string> l;
          ReadTables(copy, {}, &l);
          c.lost_found = CountRows(copy, l);
        }
      } else if (!engine_refused) {
        c = Compare(d, copy, truth, older);
        c.files = 1;
        c.unsound = Unsound(copy);
      } else {
        for (const auto& [t, rows] : truth) c.truth += static_cast<int64_t>(rows.size());
        c.missing = c.truth;
      }
      c.seconds = secs;
    }
    ours[d.kind].Add(a);
    theirs[d.kind].Add(b);
    engine[d.kind].Add(c);
    if (const size_t at = d.path.rfind("-real"); at != std::string::npos) {
      const std::string tag = d.path.substr(at + 1, d.path.size() - at - 4);
      real_ours[tag][d.kind].Add(a);
      real_theirs[tag][d.kind].Add(b);
    }
  }

  auto line = [](const char* tool, const Score& s) {
    std::printf("  %-9s %6" PRId64 " %7" PRId64 " %7" PRId64 " %5" PRId64 " %7" PRId64 " %6" PRId64
                " %5" PRId64 " %6" PRId64 " %7" PRId64 " %7" PRId64 " %8.2f %7" PRId64 "\n",
                tool, s.files, s.truth, s.exact, s.missing, s.wrong, s.undetectable, s.wrong_table,
                s.extra, s.lost_found, s.lost_rows, s.seconds, s.unsound);
  };
  Score total_a, total_b, total_c;
  std::printf(
      "\nexact: rows back with every value; wrong: a row under its key with other values;\n"
      "undet.: wrong values from bit flips, or the other version's values where pages of two\n"
      "versions are mixed (older pages, half a commit, uncommitted pages): no reader can tell;\n"
      "wtab: a row in another table than its own; extra: rows not in the ground truth;\n"
      "l+f: records put in a lost-and-found table; l+f row: those of them that are whole\n"
      "rows of the ground truth missing from their own table, each counted once (the rest\n"
      "are index entries, second copies or damage); unsound: repaired files that fail\n"
      "integrity_check or our own check (page accounting, every index against its table).\n");
  for (const std::string& k : kinds) {
    std::printf("\n%s\n  %-9s %6s %7s %7s %5s %7s %6s %5s %6s %7s %7s %8s %7s\n", k.c_str(), "tool",
                "files", "truth", "exact", "miss", "wrong", "undet.", "wtab", "extra", "l+f",
                "l+f row", "seconds", "unsound");
    if (k == "not_a_database") {
      std::printf(
          "  refused cleanly: tidewell %" PRId64 " of %" PRId64 ", .recover %" PRId64 " of %" PRId64
          ", engine %" PRId64 " of %" PRId64 "; rows made up: tidewell %" PRId64
          ", .recover %" PRId64 ", engine %" PRId64 "\n",
          ours[k].refused, ours[k].files, theirs[k].refused, theirs[k].files, engine[k].refused,
          engine[k].files, ours[k].lost_found, theirs[k].lost_found, engine[k].lost_found);
    }
    line("tidewell", ours[k]);
    line(".recover", theirs[k]);
    line("engine", engine[k]);
    total_a.Add(ours[k]);
    total_b.Add(theirs[k]);
    total_c.Add(engine[k]);
  }
  std::printf("\nTOTAL\n");
  line("tidewell", total_a);
  line(".recover", total_b);
  line("engine", total_c);
  for (auto& [tag, by_kind] : real_ours) {
    const std::string& name = foreign[std::stoul(tag.substr(4))];
    std::printf("\nTHE REAL FILE %s alone\n", name.c_str());
    Score ra, rb;
    for (const std::string& k : kinds) {
      if (!by_kind.count(k)) continue;
      std::printf("%s\n", k.c_str());
      line("tidewell", by_kind[k]);
      line(".recover", real_theirs[tag][k]);
      ra.Add(by_kind[k]);
      rb.Add(real_theirs[tag][k]);
    }
    std::printf("total\n");
    line("tidewell", ra);
    line(".recover", rb);
  }
  std::printf("time ratio tidewell/.recover: %.2f\n",
              total_b.seconds > 0 ? total_a.seconds / total_b.seconds : 0.0);
  return 0;
}
