#include "cli/summary.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>

#include "engine/file_system.h"
#include "maintenance/dbReorg.h"
#include "maintenance/modTidewell.h"

namespace tidewell::cli {
namespace {

using engine::Fate;

std::string Quote(const std::string& path) {
  std::string q = "'";
  for (char c : path) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// Rows a salvage could not place in their own tables; -1 when the file has no such table.
int64_t LostAndFoundRows(const std::string& path) {
  sqlite3* db = nullptr;
  int64_t rows = -1;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT count(*) FROM \"MSysLostAndFound\"", -1, &st, nullptr) ==
            SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW)
      rows = sqlite3_column_int64(st, 0);
    sqlite3_finalize(st);
  }
  sqlite3_close(db);
  return rows;
}

const char* Verb(const std::string& action) {
  return action == "regenerate" ? "regenerated" : "compacted";
}

}  // namespace

std::string HumanBytes(uint64_t bytes) {
  static const char* const kUnits[] = {"bytes", "KB", "MB", "GB", "TB"};
  double v = static_cast<double>(bytes);
  int unit = 0;
  while (v >= 1000 && unit < 4) {
    v /= 1000;
    ++unit;
  }
  char buf[32];
  if (unit == 0)
    std::snprintf(buf, sizeof buf, "%llu bytes", static_cast<unsigned long long>(bytes));
  else
    std::snprintf(buf, sizeof buf, "%.1f %s", v, kUnits[unit]);
  return buf;
}

RunSummary::Stamp RunSummary::StampOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {};
  return {true, st.st_ino, static_cast<uint64_t>(st.st_size),
          static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

BesideNames BesideNamesFor(const std::string& file) {
  const std::string p = engine::ResolveLinks(file);
  BesideNames n;
  n.damaged = p + ".damaged";
  n.repairing = p + ".repairing";
  try {
    const ReorgNames reorg = ReorgNamesFor(p);
    n.backup = reorg.backup;
    n.temp = reorg.temp;
  } catch (const std::exception&) {
    // too short to have them
  }
  const RegenerateNames regen = RegenerateNamesFor(p);
  n.regenerated = regen.fresh;
  n.swap = regen.swap;
  n.kept = regen.backup;
  return n;
}

std::vector<std::string> BesideNames::All() const {
  std::vector<std::string> all;
  for (const std::string* name : {&damaged, &repairing, &backup, &temp, &regenerated, &swap, &kept})
    if (!name->empty()) all.push_back(*name);
  return all;
}

std::vector<std::string> BesideNames::Temporary() const {
  std::vector<std::string> all;
  for (const std::string* name : {&repairing, &temp, &regenerated, &swap})
    if (!name->empty()) all.push_back(*name);
  return all;
}

void RunSummary::Begin(const std::string& file) {
  Record r;
  r.file = file;
  r.names = BesideNamesFor(file);
  r.before = StampOf(file);
  for (const std::string& name : r.names.All()) r.beside[name] = StampOf(name);
  files_.push_back(std::move(r));
}

void RunSummary::Note(Fate fate, std::string_view detail) {
  if (!files_.empty()) files_.back().notes.emplace_back(fate, std::string(detail));
}

const std::string& RunSummary::Current() const {
  static const std::string kNone;
  return files_.empty() ? kNone : files_.back().file;
}

std::vector<FileSummary> RunSummary::Finish() const {
  std::vector<FileSummary> out;
  for (const Record& r : files_) {
    FileSummary s;
    s.file = r.file;
    if (!r.before.exists) continue;  // the not-found box said it all
    const Stamp after = StampOf(r.file);
    std::vector<std::string> parts;
    bool repaired = false, replaced = false;
    for (const auto& [fate, detail] : r.notes) {
      switch (fate) {
        case Fate::kSound:
          parts.push_back("found sound");
          break;
        case Fate::kRepaired:
          parts.push_back("repaired");
          repaired = true;
          break;
        case Fate::kReplaced:
          replaced = true;
          parts.push_back(std::string(Verb(action_)) + " from " + HumanBytes(r.before.bytes) +
                          " to " + HumanBytes(after.bytes));
          break;
        case Fate::kNotReplaced:
        case Fate::kFailed:
          // A detail that says itself what was not done is not said twice.
          parts.push_back(detail.rfind("not ", 0) == 0
                              ? detail
                              : "not " + std::string(Verb(action_)) + ": " + detail);
          if (s.exit != kExitInUse) s.exit = kExitNotReplaced;
          if (s.reason.empty()) s.reason = detail;
          break;
        case Fate::kInUse:
          parts.push_back("left alone: " + detail);
          s.exit = kExitInUse;
          s.reason = detail;
          break;
      }
    }
    if (parts.empty())
      parts.push_back(r.error_shown ? "not treated as asked (see the message above)"
                                    : "nothing to report");
    if (r.error_shown && s.exit == kExitOk) s.exit = kExitAfterError;
    if (repaired) {
      const int64_t lost = LostAndFoundRows(r.file);
      if (lost > 0)
        parts.push_back(std::to_string(lost) +
                        " rows in MSysLostAndFound (rows whose table could not be told)");
    }
    for (size_t i = 0; i < parts.size(); ++i) s.done += (i ? "; " : "") + parts[i];

    for (const auto& [name, before] : r.beside) {
      const Stamp now = StampOf(name);
      if (!now.exists || now == before) continue;
      s.left.push_back({name, now.bytes});
    }
    auto made = [&](const std::string& name) {
      return !name.empty() && std::any_of(s.left.begin(), s.left.end(),
                                          [&](const LeftFile& f) { return f.path == name; });
    };
    // The earliest state of the file that this run kept, for the way back.
    std::string oldest;
    if (repaired && made(r.names.damaged))
      oldest = r.names.damaged;
    else if (action_ == "regenerate" && replaced && made(r.names.kept))
      oldest = r.names.kept;
    else if (replaced && made(r.names.backup))
      oldest = r.names.backup;
    if (!oldest.empty())
      s.undo = "with the crawler stopped: cp -- " + Quote(oldest) + " " + Quote(r.file);
    out.push_back(std::move(s));
  }
  return out;
}

}  // namespace tidewell::cli
