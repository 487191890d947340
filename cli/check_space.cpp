// The space and side-file figures of `check`. They are read straight from the file, not
// through SQLite: a read-only SQLite open may add files beside the database or refuse to
// open it at all, and these figures matter most exactly then.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <functional>
#include <optional>
#include <unordered_set>

#include "cli/console.h"
#include "engine/pagefile/committed.h"
#include "engine/pagefile/format.h"

namespace tidewell::cli {
namespace {

namespace pf = engine::pagefile;

// The estimate reads at most this much of the file, in a few runs of consecutive pages
// spread over it, so it costs the same few reads whatever the file's size.
constexpr uint64_t kSampleBytes = 16u << 20;
constexpr uint64_t kSampleRuns = 64;

// SQLite's lock bytes in the database file and the "a connection is open" byte of the WAL
// index (the shared-memory file).
constexpr off_t kReservedByte = 0x40000001;
constexpr off_t kShmOpenByte = 128;

class Fd {
 public:
  explicit Fd(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Whether another process holds any lock on the byte. F_GETLK works on a descriptor
// opened for reading, takes no lock itself, and never sees this process's own locks:
// call it before this process opens the database with SQLite.
bool LockedElsewhere(const std::string& path, off_t byte) {
  Fd fd(path);
  if (fd.get() < 0) return false;
  struct flock fl {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = byte;
  fl.l_len = 1;
  if (::fcntl(fd.get(), F_GETLK, &fl) != 0) return false;
  return fl.l_type != F_UNLCK;
}

// Reads the side file's size and its first bytes.
SideFile ReadSideFile(const std::string& path, std::span<uint8_t> head) {
  SideFile f;
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return f;
  f.present = true;
  f.bytes = static_cast<uint64_t>(st.st_size);
  Fd fd(path);
  f.valid_header =
      fd.get() >= 0 && S_ISREG(st.st_mode) &&
      ::pread(fd.get(), head.data(), head.size(), 0) == static_cast<ssize_t>(head.size());
  return f;
}

// Bytes of a b-tree page that hold nothing: the gap between the cell pointers and the
// cell content, the freeblocks and the fragments. Nothing when the page does not add up.
std::optional<uint64_t> UnusedInPage(const pf::BtreePage& p) {
  const uint32_t array_end = p.header_offset + p.HeaderSize() + 2 * p.cell_count;
  const uint32_t content = std::min(p.content_start, p.usable);
  if (content < array_end) return std::nullopt;
  uint64_t unused = content - array_end + p.data[p.header_offset + 7];
  uint32_t block = pf::Get16(&p.data[p.header_offset + 1]);
  while (block != 0) {
    if (block < content || block + 4 > p.usable) return std::nullopt;
    const uint32_t size = pf::Get16(&p.data[block + 2]);
    const uint32_t next = pf::Get16(&p.data[block]);
    // The chain ascends, so it cannot loop.
    if (size < 4 || block + size > p.usable || (next != 0 && next < block + size))
      return std::nullopt;
    unused += size;
    block = next;
  }
  if (unused > p.usable - array_end) return std::nullopt;
  return unused;
}

// The pages the estimate samples, in order: every page of a small file, otherwise runs of
// consecutive pages at even steps through the file.
std::vector<uint32_t> SamplePages(uint64_t page_count, uint32_t page_size) {
  std::vector<uint32_t> pages;
  const uint64_t budget = std::max<uint64_t>(kSampleRuns, kSampleBytes / page_size);
  const uint64_t run = page_count <= budget ? page_count : budget / kSampleRuns;
  const uint64_t runs = page_count <= budget ? 1 : kSampleRuns;
  for (uint64_t r = 0; r < runs; ++r) {
    const uint64_t first = 1 + r * page_count / runs;
    for (uint64_t pg = first; pg < first + run && pg <= page_count; ++pg)
      pages.push_back(static_cast<uint32_t>(pg));
  }
  return pages;
}

// Where a page stands in the sample, or -1. Everything kept per page is kept for the
// sampled pages only, so memory stays small whatever the file's size; the freelist's one
// bit a page (FreeAmong) is the exception.
ptrdiff_t SampleIndex(const std::vector<uint32_t>& sample, uint32_t pg) {
  const auto it = std::lower_bound(sample.begin(), sample.end(), pg);
  return it != sample.end() && *it == pg ? it - sample.begin() : -1;
}

// What the freelist was found to hold: how many distinct pages (its trunk pages and the
// leaves they list) and which of the sampled pages are among them.
struct FoundFree {
  uint64_t pages = 0;
  std::vector<bool> sampled;
};

// Follows the freelist. No more trunks are followed than the header's count allows, so a
// looping chain ends. The header's count is a claim: a smashed trunk or a torn commit makes
// it more than the list holds, and the pages it does not list are in use as far as anyone
// can tell. Each page is counted once, one bit a page.
FoundFree FreeAmong(const pf::PageFile& file, uint64_t page_count,
                    const std::vector<uint32_t>& sample) {
  FoundFree found;
  found.sampled.assign(sample.size(), false);
  std::vector<bool> seen(page_count + 1, false);
  auto mark = [&](uint32_t pg) {
    if (pg < 2 || pg > page_count || seen[pg]) return;
    seen[pg] = true;
    ++found.pages;
    if (const ptrdiff_t i = SampleIndex(sample, pg); i >= 0) found.sampled[i] = true;
  };
  std::vector<uint8_t> buf;
  uint32_t trunk = file.header().freelist_trunk;
  const uint32_t max_leaves = file.usable() / 4 - 2;
  for (uint64_t n = 0; n <= file.header().freelist_count && trunk >= 2 && trunk <= page_count &&
                       file.ReadPage(trunk, &buf);
       ++n) {
    mark(trunk);
    const uint32_t leaves = pf::Get32(&buf[4]);
    if (leaves > max_leaves) break;
    for (uint32_t i = 0; i < leaves; ++i) mark(pf::Get32(&buf[8 + 4 * i]));
    trunk = pf::Get32(&buf[0]);
  }
  return found;
}

// The b-trees of the file: how many pages each has (compaction rounds every tree up to
// whole pages, and a tiny table still takes one) and which tree each sampled page is in.
class TreeMap {
 public:
  TreeMap(const pf::PageFile& file, uint64_t page_count, const std::vector<uint32_t>& sample)
      : file_(file), page_count_(page_count), sample_(sample), owner_(sample.size(), 0) {
    // Tree 1 is the catalog; its rows give the roots of the others.
    std::vector<uint32_t> roots;
    std::vector<uint8_t> payload;
    std::vector<pf::Value> values;
    Walk(1, [&](const pf::BtreePage& page) {
      for (uint32_t i = 0; i < page.cell_count; ++i) {
        pf::PayloadCell cell;
        if (pf::ParseTableLeafCell(page, i, &cell) &&
            pf::ReadFullPayload(file_, cell, nullptr, &payload, nullptr) &&
            pf::DecodeRecord(payload, &values) && values.size() >= 4 &&
            values[3].kind == pf::Value::kInt && values[3].i > 1 &&
            static_cast<uint64_t>(values[3].i) <= page_count_)
          roots.push_back(static_cast<uint32_t>(values[3].i));
      }
    });
    for (uint32_t root : roots) Walk(root, nullptr);
  }

  size_t trees() const { return pages_.size(); }  // tree 0: pages no tree reached
  uint64_t pages(size_t tree) const { return pages_[tree]; }
  uint32_t owner(size_t sampled) const { return owner_[sampled]; }

 private:
  void Count(uint32_t pg, uint32_t tree) {
    ++pages_[tree];
    if (const ptrdiff_t i = SampleIndex(sample_, pg); i >= 0) owner_[i] = tree;
  }

  // `leaf`, when set, is given every leaf page of the tree.
  void Walk(uint32_t root, const std::function<void(const pf::BtreePage&)>& leaf) {
    if (interior_.count(root)) return;
    const auto tree = static_cast<uint32_t>(pages_.size());
    pages_.push_back(0);
    pf::WalkTreePages(
        file_, root, page_count_, &interior_, [&](uint32_t pg) { Count(pg, tree); }, leaf);
  }

  const pf::PageFile& file_;
  uint64_t page_count_;
  const std::vector<uint32_t>& sample_;
  std::vector<uint32_t> owner_;
  std::vector<uint64_t> pages_ = {0};
  std::unordered_set<uint32_t> interior_;
};

// The share of a packed page that this page's cells would take: a packed page holds as
// many whole cells of their average size as fit, so large cells leave room unused even
// after compaction. Interior pages count whole: a tree of more than one leaf keeps at
// least one, and they are too few to matter in a large tree.
double PackedShare(const pf::BtreePage& page, uint64_t unused) {
  if (!page.IsLeaf()) return 1.0;
  const double header = page.header_offset + page.HeaderSize();
  const double used = page.usable - static_cast<double>(unused) - header;
  if (page.cell_count == 0 || used <= 0) return used > 0 ? used / page.usable : 0.0;
  const double cell = used / page.cell_count;
  const double per_page = std::max(1.0, std::floor((page.usable - header) / cell));
  return page.cell_count / per_page;
}

}  // namespace

SpaceFigures MeasureSpace(const std::string& path) {
  SpaceFigures s;
  std::unique_ptr<pf::ByteSource> source;
  try {
    s.file_bytes = pf::OpenFileSource(path)->Size();
    // The pages are those SQLite will find on its next open, and the ones the compaction
    // copies: the last commit of a write-ahead log laid over the file, or a hot journal's
    // pages put back.
    std::optional<pf::Companion> through;
    source = pf::OpenCommittedSource(path, &through);
    if (through) s.read_through = *through == pf::Companion::kWriteAheadLog ? "wal" : "journal";
  } catch (const std::exception&) {
    return s;
  }
  std::array<uint8_t, 100> head{};
  if (source->ReadAt(0, head) != head.size()) return s;
  const pf::FileHeader header = pf::ParseFileHeader(head);
  if (!header.magic_ok || !header.page_size_ok) return s;
  pf::PageFile file(std::move(source), header.page_size);
  if (!file.ok()) return s;
  s.header_ok = true;
  s.page_size = header.page_size;
  s.wal_mode = head[18] == 2 && head[19] == 2;
  // The header's page count holds only while the change counter matches the number the
  // writer stamped beside it; otherwise SQLite goes by the file's size, and so do we.
  const bool count_current = header.page_count != 0 && pf::Get32(&head[24]) == pf::Get32(&head[92]);
  s.page_count = count_current ? header.page_count : file.page_count();
  if (s.page_count == 0) return s;
  const std::vector<uint32_t> sample = SamplePages(s.page_count, s.page_size);
  const FoundFree found = FreeAmong(file, s.page_count, sample);
  const std::vector<bool>& free = found.sampled;
  // Only what the list holds is free: every page counted in use below was found outside it.
  s.free_pages = std::min({uint64_t{header.freelist_count}, found.pages, s.page_count - 1});
  s.free_bytes = s.free_pages * s.page_size;

  // Compaction drops the free pages and repacks every b-tree as full as whole cells allow.
  // Each tree's need is its page count times the mean packed share of its sampled pages
  // (the mean of all sampled b-tree pages for a tree the sample missed), rounded up to
  // whole pages; overflow pages and pages no tree reached count as full.
  const uint64_t in_use = s.page_count - s.free_pages;
  const TreeMap map(file, s.page_count, sample);
  const size_t trees = map.trees();
  std::vector<uint64_t> pages(trees, 0), sampled(trees, 0);
  std::vector<double> share(trees, 0.0);
  uint64_t in_trees = 0;
  for (size_t t = 1; t < trees; ++t) in_trees += pages[t] = map.pages(t);
  pages[0] = in_use > in_trees ? in_use - in_trees : 0;
  std::vector<uint8_t> buf;
  uint64_t unused = 0;
  double btree_share = 0;
  uint64_t btree_sampled = 0;
  uint64_t read = 0;
  for (size_t i = 0; i < sample.size(); ++i) {
    if (free[i]) continue;
    const uint32_t pg = sample[i];
    ++read;
    pf::BtreePage page;
    std::optional<uint64_t> gap;
    if (file.ReadPage(pg, &buf) && !file.IsPointerMapPage(pg) &&
        pf::ParseBtreePage(buf, pg, file.usable(), &page))
      gap = UnusedInPage(page);
    const uint32_t tree = map.owner(i);
    ++sampled[tree];
    if (gap && tree != 0) {
      const double packed = PackedShare(page, *gap);
      unused += *gap;
      share[tree] += packed;
      btree_share += packed;
      ++btree_sampled;
    } else {
      share[tree] += 1.0;
    }
  }
  s.sampled_pages = read;
  if (read != 0)
    s.unused_bytes = static_cast<uint64_t>(
        std::llround(static_cast<double>(unused) * in_use / static_cast<double>(read)));
  const double mean = btree_sampled ? btree_share / btree_sampled : 1.0;
  uint64_t needed = 0;
  for (size_t t = 0; t < trees; ++t) {
    if (pages[t] == 0) continue;
    const double tree_mean = t == 0 ? 1.0 : sampled[t] ? share[t] / sampled[t] : mean;
    needed +=
        std::max<uint64_t>(t == 0 ? 0 : 1, static_cast<uint64_t>(std::ceil(pages[t] * tree_mean)));
  }
  s.compacted_bytes = std::max<uint64_t>(needed, 1) * s.page_size;
  return s;
}

SideFile InspectJournal(const std::string& path) {
  // A rollback journal begins with this magic while its transaction is unfinished; a
  // committed one is deleted, truncated or has its header zeroed.
  static constexpr std::array<uint8_t, 8> kMagic = {0xd9, 0xd5, 0x05, 0xf9, 0x20, 0xa1, 0x63, 0xd7};
  std::array<uint8_t, 8> head{};
  SideFile j = ReadSideFile(path + "-journal", head);
  j.valid_header = j.valid_header && head == kMagic;
  // Hot as SQLite judges it: a journal with a live header and no writer holding the
  // database's reserved lock (a writer at work holds it until its journal is finished).
  j.hot = j.valid_header && !LockedElsewhere(path, kReservedByte);
  return j;
}

SideFile InspectWal(const std::string& path) {
  std::array<uint8_t, 4> head{};
  SideFile w = ReadSideFile(path + "-wal", head);
  const uint32_t magic = pf::Get32(head.data());
  w.valid_header = w.valid_header && w.bytes >= 32 && (magic == 0x377f0682 || magic == 0x377f0683);
  // Frames nobody has open: the next connection replays them. An open connection keeps
  // a read lock on one byte of the shared-memory file for as long as it is open.
  w.hot = w.valid_header && !LockedElsewhere(path + "-shm", kShmOpenByte);
  return w;
}

}  // namespace tidewell::cli
