#include "engine/pagefile/committed.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>
#include <unordered_map>
#include <vector>

namespace tidewell::engine::pagefile {

namespace {

bool ValidPageSize(uint32_t size) {
  return size >= 512 && size <= 65536 && (size & (size - 1)) == 0;
}

bool Read(const ByteSource& s, uint64_t at, std::span<uint8_t> out) {
  return s.ReadAt(at, out) == out.size();
}

uint32_t Little32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// A database image: the file's pages, with some pages taken from a companion file instead,
// ending after `pages` pages.
class OverlaySource final : public ByteSource {
 public:
  OverlaySource(std::unique_ptr<ByteSource> main, std::unique_ptr<ByteSource> companion,
                uint32_t page_size, uint32_t pages, std::unordered_map<uint32_t, uint64_t> where)
      : main_(std::move(main)),
        companion_(std::move(companion)),
        page_size_(page_size),
        where_(std::move(where)) {
    // The image ends where the database does, or earlier where the file ends and the pages
    // right after it do not come from the companion. A page number far beyond both (a
    // damaged record) does not stretch it: the image is never larger than the two files.
    uint64_t end = main_->Size();
    while (where_.count(static_cast<uint32_t>(end / page_size_ + 1)) != 0)
      end = (end / page_size_ + 1) * page_size_;
    size_ = std::min(end, uint64_t{pages} * page_size_);
  }

  uint64_t Size() const override { return size_; }

  size_t ReadAt(uint64_t offset, std::span<uint8_t> out) const override {
    if (offset >= size_ || out.empty()) return 0;
    const size_t len = static_cast<size_t>(std::min<uint64_t>(out.size(), size_ - offset));
    size_t covered = main_->ReadAt(offset, out.first(len));
    const uint64_t end = offset + len;
    for (uint64_t page = offset / page_size_; page * page_size_ < end; ++page) {
      const uint64_t begin = page * page_size_;
      const uint64_t from = std::max(begin, offset), to = std::min(begin + page_size_, end);
      auto it = where_.find(static_cast<uint32_t>(page + 1));
      if (it == where_.end()) {
        if (covered < to - offset) return covered;
        continue;
      }
      if (covered < from - offset) return covered;
      auto part = out.subspan(static_cast<size_t>(from - offset), static_cast<size_t>(to - from));
      const size_t got = companion_->ReadAt(it->second + (from - begin), part);
      if (got < part.size()) return static_cast<size_t>(from - offset) + got;
      covered = std::max(covered, static_cast<size_t>(to - offset));
    }
    return covered;
  }

 private:
  std::unique_ptr<ByteSource> main_, companion_;
  uint32_t page_size_;
  std::unordered_map<uint32_t, uint64_t> where_;  // page number -> offset of its bytes
  uint64_t size_ = 0;
};

constexpr std::array<uint8_t, 8> kJournalMagic = {0xd9, 0xd5, 0x05, 0xf9, 0x20, 0xa1, 0x63, 0xd7};

// The super-journal a journal names at its end, if it names one.
std::string SuperJournalName(const ByteSource& j) {
  const uint64_t size = j.Size();
  std::array<uint8_t, 16> tail{};
  if (size < 16 || !Read(j, size - 16, tail)) return {};
  if (!std::equal(kJournalMagic.begin(), kJournalMagic.end(), tail.begin() + 8)) return {};
  const uint32_t length = Get32(tail.data()), sum = Get32(tail.data() + 4);
  if (length == 0 || length > 4096 || length > size - 16) return {};
  std::vector<uint8_t> name(length);
  if (!Read(j, size - 16 - length, name)) return {};
  uint32_t check = 0;
  for (uint8_t b : name) check += b;
  if (check != sum) return {};
  return std::string(name.begin(), std::find(name.begin(), name.end(), 0));
}

bool SuperJournalExists(const std::string& name) {
  return ::access(name.c_str(), F_OK) == 0;
}

bool WalSums(bool big_endian, std::span<const uint8_t> bytes, uint32_t* s0, uint32_t* s1) {
  if (bytes.size() % 8 != 0) return false;
  for (size_t i = 0; i < bytes.size(); i += 8) {
    const uint8_t* p = bytes.data() + i;
    *s0 += (big_endian ? Get32(p) : Little32(p)) + *s1;
    *s1 += (big_endian ? Get32(p + 4) : Little32(p + 4)) + *s0;
  }
  return true;
}

}  // namespace

std::unique_ptr<ByteSource> OverJournal(std::unique_ptr<ByteSource> main,
                                        std::unique_ptr<ByteSource> journal,
                                        bool (*super_journal_exists)(const std::string&),
                                        bool* applied) {
  if (applied) *applied = false;
  const ByteSource& j = *journal;
  const uint64_t size = j.Size();
  std::array<uint8_t, 28> header{};
  if (size < header.size() || !Read(j, 0, header) ||
      !std::equal(kJournalMagic.begin(), kJournalMagic.end(), header.begin()))
    return main;
  const uint32_t sector = Get32(header.data() + 20), page_size = Get32(header.data() + 24);
  const uint32_t pages = Get32(header.data() + 16);
  if (!ValidPageSize(page_size) || sector < 32 || sector > 65536 || (sector & (sector - 1)) != 0)
    return main;
  // A transaction over several databases committed once its super-journal was deleted.
  if (std::string super = SuperJournalName(j);
      !super.empty() && super_journal_exists && !super_journal_exists(super))
    return main;

  const uint32_t lock_page = 0x40000000u / page_size + 1;
  const uint64_t record = uint64_t{page_size} + 8;
  std::unordered_map<uint32_t, uint64_t> where;
  std::vector<uint8_t> buf(record);
  uint64_t at = 0;
  bool more = true;
  while (more && at + header.size() <= size && Read(j, at, header) &&
         std::equal(kJournalMagic.begin(), kJournalMagic.end(), header.begin())) {
    uint64_t count = Get32(header.data() + 8);
    const uint32_t nonce = Get32(header.data() + 12);
    uint64_t rec = at + sector;
    if (count == 0xffffffffu) count = rec < size ? (size - rec) / record : 0;
    for (uint64_t n = 0; n < count; ++n, rec += record) {
      // The first record not wholly written, or not as its checksum says, ends the journal.
      if (rec + record > size || !Read(j, rec, buf)) {
        more = false;
        break;
      }
      const uint32_t pgno = Get32(buf.data());
      uint32_t sum = nonce;
      for (uint32_t i = page_size - 200; i > 0 && i < page_size; i -= 200) sum += buf[4 + i];
      if (pgno == 0 || pgno == lock_page || sum != Get32(buf.data() + 4 + page_size)) {
        more = false;
        break;
      }
      if (pgno <= pages) where[pgno] = rec + 4;
    }
    at = rec == 0 ? 0 : ((rec - 1) / sector + 1) * sector;
  }
  if (applied) *applied = true;
  return std::make_unique<OverlaySource>(std::move(main), std::move(journal), page_size, pages,
                                         std::move(where));
}

std::unique_ptr<ByteSource> OverWriteAheadLog(std::unique_ptr<ByteSource> main,
                                              std::unique_ptr<ByteSource> wal, bool* applied) {
  if (applied) *applied = false;
  const ByteSource& w = *wal;
  std::array<uint8_t, 32> header{};
  if (!Read(w, 0, header)) return main;
  const uint32_t magic = Get32(header.data()), page_size = Get32(header.data() + 8);
  if ((magic & ~1u) != 0x377f0682u || Get32(header.data() + 4) != 3007000 ||
      !ValidPageSize(page_size))
    return main;
  const bool big_endian = (magic & 1) != 0;
  uint32_t s0 = 0, s1 = 0;
  WalSums(big_endian, std::span(header).first(24), &s0, &s1);
  if (s0 != Get32(header.data() + 24) || s1 != Get32(header.data() + 28)) return main;

  std::unordered_map<uint32_t, uint64_t> where, pending;
  uint32_t pages = 0;
  std::vector<uint8_t> frame(24 + size_t{page_size});
  for (uint64_t at = 32; at + frame.size() <= w.Size() && Read(w, at, frame); at += frame.size()) {
    const uint32_t pgno = Get32(frame.data()), commit = Get32(frame.data() + 4);
    if (pgno == 0 || std::memcmp(frame.data() + 8, header.data() + 16, 8) != 0) break;
    uint32_t f0 = s0, f1 = s1;
    WalSums(big_endian, std::span(frame).first(8), &f0, &f1);
    WalSums(big_endian, std::span(frame).subspan(24), &f0, &f1);
    if (f0 != Get32(frame.data() + 16) || f1 != Get32(frame.data() + 20)) break;
    s0 = f0;
    s1 = f1;
    pending[pgno] = at + 24;
    if (commit != 0) {
      for (const auto& [p, offset] : pending) where[p] = offset;
      pending.clear();
      pages = commit;
    }
  }
  if (pages == 0) return main;
  if (applied) *applied = true;
  return std::make_unique<OverlaySource>(std::move(main), std::move(wal), page_size, pages,
                                         std::move(where));
}

bool CompanionApplies(const std::string& path, Companion kind) {
  bool applied = false;
  try {
    auto none = MemorySource({});
    if (kind == Companion::kHotJournal)
      OverJournal(std::move(none), OpenFileSource(path), SuperJournalExists, &applied);
    else
      OverWriteAheadLog(std::move(none), OpenFileSource(path), &applied);
  } catch (const std::runtime_error&) {
  }
  return applied;
}

std::unique_ptr<ByteSource> OpenCommittedSource(const std::string& path,
                                                std::optional<Companion>* applied_companion) {
  std::unique_ptr<ByteSource> image = OpenFileSource(path);
  if (applied_companion) applied_companion->reset();
  auto open = [](const std::string& name) -> std::unique_ptr<ByteSource> {
    try {
      return OpenFileSource(name);
    } catch (const std::runtime_error&) {
      return nullptr;
    }
  };
  bool applied = false;
  if (auto journal = open(path + "-journal")) {
    image = OverJournal(std::move(image), std::move(journal), SuperJournalExists, &applied);
    if (applied) {
      if (applied_companion) *applied_companion = Companion::kHotJournal;
      return image;
    }
  }
  if (auto wal = open(path + "-wal")) {
    image = OverWriteAheadLog(std::move(image), std::move(wal), &applied);
    if (applied && applied_companion) *applied_companion = Companion::kWriteAheadLog;
  }
  return image;
}

}  // namespace tidewell::engine::pagefile
