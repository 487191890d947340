#include "engine/pagefile/format.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <unordered_set>

#include "engine/file_lock.h"

namespace tidewell::engine::pagefile {

namespace {

class FileSource final : public ByteSource {
 public:
  explicit FileSource(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
      ::close(fd_);
      throw std::runtime_error("cannot read the size of " + path);
    }
    size_ = static_cast<uint64_t>(st.st_size);
  }
  // A plain close would drop every POSIX lock this process holds on the file, SQLite's too.
  ~FileSource() override { CloseKeepingLocks(fd_); }
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;

  uint64_t Size() const override { return size_; }
  size_t ReadAt(uint64_t offset, std::span<uint8_t> out) const override {
    size_t done = 0;
    while (done < out.size()) {
      ssize_t n =
          ::pread(fd_, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;  // end of file, or a read error: the rest counts as missing
      done += static_cast<size_t>(n);
    }
    return done;
  }

 private:
  int fd_ = -1;
  uint64_t size_ = 0;
};

class BufferSource final : public ByteSource {
 public:
  explicit BufferSource(Bytes bytes) : bytes_(bytes) {}
  uint64_t Size() const override { return bytes_.size(); }
  size_t ReadAt(uint64_t offset, std::span<uint8_t> out) const override {
    if (offset >= bytes_.size()) return 0;
    size_t n = static_cast<size_t>(std::min<uint64_t>(out.size(), bytes_.size() - offset));
    std::memcpy(out.data(), bytes_.data() + offset, n);
    return n;
  }

 private:
  Bytes bytes_;
};

constexpr uint64_t kMaxPayload = 0x7fffffff;  // larger than any value the format allows

bool ValidPageSize(uint32_t size) {
  return size >= 512 && size <= 65536 && (size & (size - 1)) == 0;
}

}  // namespace

std::unique_ptr<ByteSource> OpenFileSource(const std::string& path) {
  return std::make_unique<FileSource>(path);
}
std::unique_ptr<ByteSource> MemorySource(Bytes bytes) {
  return std::make_unique<BufferSource>(bytes);
}

uint32_t Get32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
uint16_t Get16(const uint8_t* p) {
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

size_t ReadVarint(Bytes in, uint64_t* value) {
  uint64_t v = 0;
  for (size_t i = 0; i < 9; ++i) {
    if (i >= in.size()) return 0;
    if (i == 8) {
      *value = (v << 8) | in[i];
      return 9;
    }
    v = (v << 7) | (in[i] & 0x7f);
    if ((in[i] & 0x80) == 0) {
      *value = v;
      return i + 1;
    }
  }
  return 0;
}

FileHeader ParseFileHeader(Bytes h) {
  FileHeader out;
  if (h.size() < 100) return out;
  out.magic_ok = std::memcmp(h.data(), "SQLite format 3\0", 16) == 0;
  uint32_t size = Get16(h.data() + 16);
  if (size == 1) size = 65536;
  out.page_size = size;
  out.page_size_ok = ValidPageSize(size);
  out.reserved = h[20];
  out.page_count = Get32(h.data() + 28);
  out.freelist_trunk = Get32(h.data() + 32);
  out.freelist_count = Get32(h.data() + 36);
  out.largest_root = Get32(h.data() + 52);
  out.text_encoding = Get32(h.data() + 56);
  out.user_version = Get32(h.data() + 60);
  out.incremental_vacuum = Get32(h.data() + 64);
  out.application_id = Get32(h.data() + 68);
  return out;
}

bool ParseBtreePage(Bytes page, uint32_t pgno, uint32_t usable, BtreePage* out, uint32_t present) {
  if (usable > page.size() || usable < 480) return false;
  uint32_t hdr = pgno == 1 ? 100 : 0;
  const uint32_t limit = present != 0 ? std::min(present, usable) : usable;
  if (hdr + 12 > limit) return false;
  uint8_t type = page[hdr];
  if (type != kIndexInterior && type != kTableInterior && type != kIndexLeaf &&
      type != kTableLeaf) {
    return false;
  }
  BtreePage p;
  p.pgno = pgno;
  p.type = type;
  p.header_offset = hdr;
  p.data = page;
  p.usable = usable;
  p.limit = limit;
  uint32_t first_free = Get16(&page[hdr + 1]);
  p.cell_count = Get16(&page[hdr + 3]);
  p.content_start = Get16(&page[hdr + 5]);
  if (p.content_start == 0) p.content_start = 65536;
  uint8_t fragmented = page[hdr + 7];
  if (!p.IsLeaf()) p.right_child = Get32(&page[hdr + 8]);
  uint32_t array_end = hdr + p.HeaderSize() + 2 * p.cell_count;
  if (array_end > limit) return false;
  if (p.content_start > usable || (p.cell_count > 0 && p.content_start < array_end)) {
    return false;
  }
  if (fragmented > 60) return false;
  if (first_free != 0 && (first_free < array_end || first_free + 4 > usable)) return false;
  if (!p.IsLeaf() && p.right_child == 0) return false;
  *out = p;
  return true;
}

uint32_t CellOffset(const BtreePage& page, uint32_t i) {
  if (i >= page.cell_count) return 0;
  uint32_t ptr = page.header_offset + page.HeaderSize() + 2 * i;
  uint32_t off = Get16(&page.data[ptr]);
  uint32_t array_end = page.header_offset + page.HeaderSize() + 2 * page.cell_count;
  if (off < array_end || off < page.content_start || off + 4 > page.Limit()) return 0;
  return off;
}

uint32_t LocalPayloadSize(uint64_t payload_size, uint32_t usable, bool table_leaf) {
  uint64_t u = usable;
  uint64_t max_local = table_leaf ? u - 35 : ((u - 12) * 64 / 255) - 23;
  uint64_t min_local = ((u - 12) * 32 / 255) - 23;
  if (payload_size <= max_local) return static_cast<uint32_t>(payload_size);
  uint64_t k = min_local + (payload_size - min_local) % (u - 4);
  return static_cast<uint32_t>(k <= max_local ? k : min_local);
}

namespace {

bool FinishPayloadCell(const BtreePage& page, uint32_t pos, uint64_t payload_size, bool table_leaf,
                       PayloadCell* out) {
  if (payload_size > kMaxPayload) return false;
  uint32_t local = LocalPayloadSize(payload_size, page.usable, table_leaf);
  uint64_t end = uint64_t{pos} + local + (local < payload_size ? 4 : 0);
  if (end > page.Limit()) return false;
  out->payload_size = payload_size;
  out->local = page.data.subspan(pos, local);
  out->first_overflow = local < payload_size ? Get32(&page.data[pos + local]) : 0;
  if (local < payload_size && out->first_overflow == 0) return false;
  return true;
}

}  // namespace

bool ParseTableLeafCell(const BtreePage& page, uint32_t i, PayloadCell* out) {
  if (page.type != kTableLeaf) return false;
  uint32_t off = CellOffset(page, i);
  if (off == 0) return false;
  return ParseTableLeafCellAt(page, off, out);
}

bool ParseTableLeafCellAt(const BtreePage& page, uint32_t off, PayloadCell* out) {
  if (off >= page.Limit() || page.usable > page.data.size()) return false;
  Bytes area = page.data.subspan(off, page.Limit() - off);
  uint64_t size = 0, rowid = 0;
  size_t n1 = ReadVarint(area, &size);
  if (n1 == 0) return false;
  size_t n2 = ReadVarint(area.subspan(n1), &rowid);
  if (n2 == 0) return false;
  out->rowid = static_cast<int64_t>(rowid);
  out->left_child = 0;
  return FinishPayloadCell(page, static_cast<uint32_t>(off + n1 + n2), size, true, out);
}

bool ParseIndexCell(const BtreePage& page, uint32_t i, PayloadCell* out) {
  if (page.type != kIndexLeaf && page.type != kIndexInterior) return false;
  uint32_t off = CellOffset(page, i);
  if (off == 0) return false;
  uint32_t pos = off;
  out->left_child = 0;
  if (page.type == kIndexInterior) {
    out->left_child = Get32(&page.data[pos]);
    if (out->left_child == 0) return false;
    pos += 4;
  }
  uint64_t size = 0;
  size_t n = ReadVarint(page.data.subspan(pos, page.Limit() - pos), &size);
  if (n == 0) return false;
  out->rowid = 0;
  return FinishPayloadCell(page, static_cast<uint32_t>(pos + n), size, false, out);
}

bool ParseTableInteriorCell(const BtreePage& page, uint32_t i, uint32_t* left_child, int64_t* key) {
  if (page.type != kTableInterior) return false;
  uint32_t off = CellOffset(page, i);
  if (off == 0) return false;
  *left_child = Get32(&page.data[off]);
  if (*left_child == 0) return false;
  uint64_t k = 0;
  if (ReadVarint(page.data.subspan(off + 4, page.Limit() - off - 4), &k) == 0) return false;
  *key = static_cast<int64_t>(k);
  return true;
}

bool DecodeRecord(Bytes payload, std::vector<Value>* values) {
  values->clear();
  uint64_t header_size = 0;
  size_t n = ReadVarint(payload, &header_size);
  if (n == 0 || header_size < n || header_size > payload.size()) return false;
  size_t hpos = n;
  uint64_t body = header_size;
  while (hpos < header_size) {
    uint64_t st = 0;
    size_t m = ReadVarint(payload.subspan(0, header_size).subspan(hpos), &st);
    if (m == 0) return false;
    hpos += m;
    Value v;
    uint64_t len = 0;
    switch (st) {
      case 0:
        v.kind = Value::kNull;
        break;
      case 1:
        len = 1;
        break;
      case 2:
        len = 2;
        break;
      case 3:
        len = 3;
        break;
      case 4:
        len = 4;
        break;
      case 5:
        len = 6;
        break;
      case 6:
        len = 8;
        break;
      case 7:
        len = 8;
        break;
      case 8:
        v.kind = Value::kInt;
        v.i = 0;
        break;
      case 9:
        v.kind = Value::kInt;
        v.i = 1;
        break;
      case 10:
      case 11:
        return false;  // reserved, never written by a healthy database
      default:
        len = (st - 12) / 2;
        v.kind = (st & 1) ? Value::kText : Value::kBlob;
        break;
    }
    if (len > payload.size() - body) return false;
    const uint8_t* p = payload.data() + body;
    if (st >= 1 && st <= 6) {
      uint64_t u = p[0] & 0x80 ? ~uint64_t{0} : 0;
      for (uint64_t k = 0; k < len; ++k) u = (u << 8) | p[k];
      v.kind = Value::kInt;
      v.i = static_cast<int64_t>(u);
    } else if (st == 7) {
      uint64_t u = 0;
      for (int k = 0; k < 8; ++k) u = (u << 8) | p[k];
      std::memcpy(&v.r, &u, 8);
      if (std::isnan(v.r)) return false;  // the format stores NaN as NULL
      v.kind = Value::kReal;
    } else if (st >= 12) {
      v.bytes = payload.subspan(body, len);
    }
    body += len;
    values->push_back(v);
  }
  return hpos == header_size && body == payload.size();
}

PageFile::PageFile(std::unique_ptr<ByteSource> source, uint32_t page_size)
    : src_(std::move(source)) {
  std::vector<uint8_t> head(100, 0);
  size_t got = src_->ReadAt(0, head);
  if (got == 100) header_ = ParseFileHeader(head);
  uint32_t reserved = header_.magic_ok ? header_.reserved : 0;
  uint64_t file_size = src_->Size();
  if (page_size == 0 && header_.magic_ok && header_.page_size_ok && header_.page_size > reserved &&
      header_.page_size - reserved >= 480) {
    // Trust the header's size when page 1 decodes with it; a flipped size field would
    // otherwise make every page unreadable.
    std::vector<uint8_t> p1(header_.page_size, 0);
    src_->ReadAt(0, p1);
    BtreePage bp;
    if (ParseBtreePage(p1, 1, header_.page_size - reserved, &bp) ||
        ScorePageSize(*src_, header_.page_size, reserved) > 0) {
      page_size = header_.page_size;
      size_from_header_ = true;
    }
  }
  if (page_size == 0) {
    uint64_t best = 0;
    for (uint32_t candidate = 512; candidate <= 65536; candidate *= 2) {
      if (candidate <= reserved || candidate - reserved < 480) continue;
      uint64_t score = ScorePageSize(*src_, candidate, reserved);
      if (score > best) {
        best = score;
        page_size = candidate;
      }
    }
    if (best == 0) page_size = 0;
  }
  if (page_size == 0 || !ValidPageSize(page_size)) {
    page_size_ = 0;
    return;
  }
  if (page_size <= reserved || page_size - reserved < 480) reserved = 0;
  page_size_ = page_size;
  usable_ = page_size - reserved;
  // A page cut short by truncation is no page of the count: what it lacked would read as
  // zeros, and zeros inside a value are indistinguishable from data. Its cells that lie
  // wholly in what is left are read through ReadPartialPage.
  uint64_t count = file_size / page_size;
  page_count_ = static_cast<uint32_t>(std::min<uint64_t>(count, 0x7ffffffe));
  if (page_count_ == count) partial_ = static_cast<uint32_t>(file_size % page_size);
}

bool PageFile::ReadPartialPage(std::vector<uint8_t>* buf, uint32_t* present) const {
  if (partial_ == 0) return false;
  buf->assign(page_size_, 0);
  size_t got = src_->ReadAt(uint64_t{page_count_} * page_size_, std::span(*buf).first(partial_));
  *present = static_cast<uint32_t>(got);
  return got > 0;
}

bool PageFile::ReadPage(uint32_t pgno, std::vector<uint8_t>* buf) const {
  if (pgno == 0 || pgno > page_count_) return false;
  buf->resize(page_size_);
  // A page that cannot be read whole (a failing disk, a file cut while we read) is a
  // damaged page: zeros in its place could read as values.
  return src_->ReadAt(uint64_t{pgno - 1} * page_size_, *buf) == page_size_;
}

bool PageFile::IsPointerMapPage(uint32_t pgno) const {
  if (!header_.magic_ok || header_.largest_root == 0 || pgno < 2) return false;
  uint32_t per_map = usable_ / 5 + 1;
  return (pgno - 2) % per_map == 0;
}

bool PageFile::PointerMapEntry(uint32_t pgno, uint8_t* type, uint32_t* parent) const {
  if (!header_.magic_ok || header_.largest_root == 0 || pgno < 3) return false;
  uint32_t per_map = usable_ / 5 + 1;
  uint32_t map_page = (pgno - 2) / per_map * per_map + 2;
  if (map_page == pgno) return false;
  uint32_t idx = pgno - map_page - 1;
  std::vector<uint8_t> buf;
  if (!ReadPage(map_page, &buf) || 5 * idx + 5 > usable_) return false;
  *type = buf[5 * idx];
  *parent = Get32(&buf[5 * idx + 1]);
  return *type >= 1 && *type <= 5;
}

bool PageAccountsExactly(const BtreePage& p) {
  // Every byte of a healthy page is header, cell pointer, unallocated gap, cell, freeblock
  // or fragment; read with the wrong page size, the sums do not come out.
  uint64_t used = p.header_offset + p.HeaderSize() + 2 * uint64_t{p.cell_count};
  used += p.content_start - used;  // the gap up to the cell content area
  for (uint32_t i = 0; i < p.cell_count; ++i) {
    uint32_t off = CellOffset(p, i);
    if (off == 0) return false;
    uint64_t size = 0;
    if (p.type == kTableInterior) {
      uint64_t key = 0;
      size_t n = ReadVarint(p.data.subspan(off + 4, p.usable - off - 4), &key);
      if (n == 0) return false;
      size = 4 + n;
    } else {
      PayloadCell c;
      if (!(p.type == kTableLeaf ? ParseTableLeafCell(p, i, &c) : ParseIndexCell(p, i, &c))) {
        return false;
      }
      size = static_cast<uint64_t>(c.local.data() - p.data.data()) - off + c.local.size() +
             (c.first_overflow ? 4 : 0);
      if (size < 4) size = 4;  // the format never stores a cell in fewer than 4 bytes
    }
    used += size;
  }
  uint32_t fb = Get16(&p.data[p.header_offset + 1]);
  for (uint32_t k = 0; fb != 0; ++k) {
    if (k > p.usable / 4 || fb < p.content_start || fb + 4 > p.usable) return false;
    uint32_t next = Get16(&p.data[fb]);
    uint32_t size = Get16(&p.data[fb + 2]);
    if (size < 4 || fb + size > p.usable || (next != 0 && next < fb + size)) return false;
    used += size;
    fb = next;
  }
  used += p.data[p.header_offset + 7];
  return used == p.usable;
}

uint64_t PageFile::ScorePageSize(const ByteSource& src, uint32_t size, uint32_t reserved) {
  uint64_t file_size = src.Size();
  uint64_t pages = (file_size + size - 1) / size;
  if (pages == 0) return 0;
  // Runs of consecutive pages, so that a too small size also meets the middles of real
  // pages, and few enough that a large file is not read once per candidate.
  constexpr uint64_t kWindow = 256, kWindows = 8;
  std::vector<uint8_t> buf(size);
  uint64_t good = 0, sampled = 0;
  uint64_t last_end = 0;
  for (uint64_t w = 0; w < kWindows; ++w) {
    uint64_t start =
        pages <= kWindow * kWindows ? 1 + w * kWindow : 1 + (pages - kWindow) * w / (kWindows - 1);
    if (start < last_end) start = last_end;
    for (uint64_t pg = start; pg < start + kWindow && pg <= pages; ++pg) {
      ++sampled;
      std::fill(buf.begin(), buf.end(), 0);
      src.ReadAt((pg - 1) * size, buf);
      BtreePage bp;
      if (ParseBtreePage(buf, static_cast<uint32_t>(pg), size - reserved, &bp) &&
          bp.cell_count > 0 && PageAccountsExactly(bp)) {
        ++good;
      }
    }
    last_end = start + kWindow;
  }
  return sampled == 0 ? 0 : (good * pages + sampled - 1) / sampled;
}

bool ReadFullPayload(const PageFile& file, const PayloadCell& cell, const OverflowGuard* guard,
                     std::vector<uint8_t>* payload, std::vector<uint32_t>* chain) {
  payload->assign(cell.local.begin(), cell.local.end());
  if (chain) chain->clear();
  if (cell.payload_size <= cell.local.size()) return cell.first_overflow == 0;
  uint64_t remaining = cell.payload_size - cell.local.size();
  uint32_t per_page = file.usable() - 4;
  uint64_t needed = (remaining + per_page - 1) / per_page;
  if (needed >= file.page_count()) return false;  // more than the file can hold
  std::unordered_set<uint32_t> seen;
  std::vector<uint8_t> buf;
  uint32_t pgno = cell.first_overflow;
  for (uint64_t k = 0; k < needed; ++k) {
    if (pgno < 2 || pgno > file.page_count() || !seen.insert(pgno).second) return false;
    if (guard && !guard->PageMayBeOverflow(pgno)) return false;
    if (!file.ReadPage(pgno, &buf)) return false;
    uint32_t next = Get32(buf.data());
    uint32_t take = static_cast<uint32_t>(std::min<uint64_t>(remaining, per_page));
    payload->insert(payload->end(), buf.begin() + 4, buf.begin() + 4 + take);
    if (chain) chain->push_back(pgno);
    remaining -= take;
    bool last = k + 1 == needed;
    if (last ? next != 0 : next == 0) return false;
    pgno = next;
  }
  return remaining == 0;
}

std::vector<uint32_t> ChildPages(const BtreePage& page) {
  std::vector<uint32_t> children;
  if (page.IsLeaf()) return children;
  for (uint32_t i = 0; i < page.cell_count; ++i) {
    uint32_t child = 0;
    int64_t key = 0;
    PayloadCell cell;
    if (page.type == kTableInterior ? ParseTableInteriorCell(page, i, &child, &key)
                                    : ParseIndexCell(page, i, &cell))
      children.push_back(page.type == kTableInterior ? child : cell.left_child);
  }
  children.push_back(page.right_child);
  return children;
}

bool WalkTreePages(const PageFile& file, uint32_t root, uint64_t last,
                   std::unordered_set<uint32_t>* interior,
                   const std::function<void(uint32_t)>& page,
                   const std::function<void(const BtreePage&)>& leaf) {
  if (!interior->insert(root).second) return false;
  page(root);
  std::vector<uint32_t> level = {root};
  std::vector<uint8_t> buf, peek;
  for (int depth = 0; depth < 20 && !level.empty(); ++depth) {
    std::vector<uint32_t> next;
    std::optional<bool> leaves_below;
    for (uint32_t pg : level) {
      BtreePage bp;
      if (!file.ReadPage(pg, &buf) || !ParseBtreePage(buf, pg, file.usable(), &bp)) continue;
      if (bp.IsLeaf()) {
        if (leaf) leaf(bp);
        continue;
      }
      if (pg != root && !interior->insert(pg).second) continue;
      for (uint32_t child : ChildPages(bp)) {
        if (child < 2 || child > last) continue;
        page(child);
        if (!leaves_below) {
          BtreePage first;
          leaves_below = file.ReadPage(child, &peek) &&
                         ParseBtreePage(peek, child, file.usable(), &first) && first.IsLeaf();
        }
        if (!*leaves_below || leaf) next.push_back(child);
      }
    }
    level = std::move(next);
  }
  return true;
}

}  // namespace tidewell::engine::pagefile
