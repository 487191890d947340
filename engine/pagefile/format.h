// A reader of the SQLite 3 database file format, written from its published description.
// Nothing here trusts the file: every length, offset and page number read from it is
// checked before use, so a damaged page yields "does not decode", never a read out of
// bounds, an endless loop or an allocation larger than the file could justify.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <unordered_set>
#include <vector>

namespace tidewell::engine::pagefile {

using Bytes = std::span<const uint8_t>;

// Where pages come from: a file read with pread (the salvage) or a buffer (tests, fuzzing).
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual uint64_t Size() const = 0;
  // Reads up to out.size() bytes at offset; returns how many were read (short at the end).
  virtual size_t ReadAt(uint64_t offset, std::span<uint8_t> out) const = 0;
};

// Opens a file read-only; throws std::runtime_error when it cannot be opened.
std::unique_ptr<ByteSource> OpenFileSource(const std::string& path);
std::unique_ptr<ByteSource> MemorySource(Bytes bytes);  // the bytes must outlive it

// Varint of the format: 1 to 9 bytes, big-endian 7-bit groups, the ninth byte whole.
// Returns the number of bytes used, 0 when the varint runs past the end of `in`.
size_t ReadVarint(Bytes in, uint64_t* value);
uint32_t Get32(const uint8_t* p);
uint16_t Get16(const uint8_t* p);

enum PageType : uint8_t {
  kIndexInterior = 2,
  kTableInterior = 5,
  kIndexLeaf = 10,
  kTableLeaf = 13,
};

struct FileHeader {
  bool magic_ok = false;      // "SQLite format 3\0"
  bool page_size_ok = false;  // a power of two from 512 to 65536
  uint32_t page_size = 0;
  uint8_t reserved = 0;     // bytes at the end of each page not used for content
  uint32_t page_count = 0;  // in-header database size (0 or stale in old files)
  uint32_t freelist_trunk = 0;
  uint32_t freelist_count = 0;
  uint32_t largest_root = 0;   // nonzero: auto-vacuum, pointer-map pages exist
  uint32_t text_encoding = 1;  // 1 UTF-8, 2 UTF-16le, 3 UTF-16be
  uint32_t user_version = 0;
  uint32_t application_id = 0;
  uint32_t incremental_vacuum = 0;
};

FileHeader ParseFileHeader(Bytes first100);

// Parsed b-tree page header plus the page it came from. Valid only while the page buffer is.
struct BtreePage {
  uint32_t pgno = 0;
  uint8_t type = 0;
  uint32_t header_offset = 0;  // 100 on page 1
  uint32_t cell_count = 0;
  uint32_t content_start = 0;
  uint32_t right_child = 0;  // interior pages only
  Bytes data;                // the whole page
  uint32_t usable = 0;       // page size minus reserved bytes
  uint32_t limit = 0;        // bytes read, for a page the file ends inside; 0: all of them
  // Where cells must end: bytes past it were never read.
  uint32_t Limit() const { return limit != 0 && limit < usable ? limit : usable; }
  bool IsLeaf() const { return type == kIndexLeaf || type == kTableLeaf; }
  bool IsTable() const { return type == kTableLeaf || type == kTableInterior; }
  uint32_t HeaderSize() const { return IsLeaf() ? 8 : 12; }
};

// Checks the page header and that the cell pointer array lies inside the page. Cells
// themselves are checked one by one when read, so one bad cell does not lose the page.
// `present`, when not 0: only that many bytes of the page were read (the file ends inside
// it); the page header, its cell pointers and each cell taken must lie within them.
bool ParseBtreePage(Bytes page, uint32_t pgno, uint32_t usable, BtreePage* out,
                    uint32_t present = 0);

// Whether every byte of the page is accounted for by its header, cell pointers, cells,
// freeblocks and fragments: true of every healthy page read with its real size.
bool PageAccountsExactly(const BtreePage& page);

// Offset of cell i inside the page, or 0 when the pointer is out of the content area.
uint32_t CellOffset(const BtreePage& page, uint32_t i);

// How much of a payload of `payload_size` bytes stays on the b-tree page.
uint32_t LocalPayloadSize(uint64_t payload_size, uint32_t usable, bool table_leaf);

// A cell of a leaf page (table or index) or the payload part of an index interior cell.
struct PayloadCell {
  int64_t rowid = 0;        // table leaf cells only
  uint32_t left_child = 0;  // index interior cells only
  uint64_t payload_size = 0;
  Bytes local;                  // the bytes on the page
  uint32_t first_overflow = 0;  // 0 when the payload is all local
};

bool ParseTableLeafCell(const BtreePage& page, uint32_t i, PayloadCell* out);
bool ParseIndexCell(const BtreePage& page, uint32_t i, PayloadCell* out);
// A table leaf cell read at a byte offset, for pages whose cell pointers cannot be trusted;
// only `data` and `usable` of the page are used.
bool ParseTableLeafCellAt(const BtreePage& page, uint32_t offset, PayloadCell* out);
// Table interior cell: left child and integer key.
bool ParseTableInteriorCell(const BtreePage& page, uint32_t i, uint32_t* left_child, int64_t* key);

// One value of a record. Text and blob values point into the record's payload buffer.
struct Value {
  enum Kind : uint8_t { kNull, kInt, kReal, kText, kBlob } kind = kNull;
  int64_t i = 0;
  double r = 0;
  Bytes bytes;
};

// Decodes a complete record. False unless the header is well formed, every serial type is
// a real one and the values fill the payload exactly: a record whose lengths disagree
// with its size has been damaged and must not be read as data.
bool DecodeRecord(Bytes payload, std::vector<Value>* values);

// Page-level view of a database file: page size, page count and page reads.
class PageFile {
 public:
  // `page_size` 0: take it from the header, or find it from the pages when the header
  // does not give a usable one. Throws nothing; check ok().
  explicit PageFile(std::unique_ptr<ByteSource> source, uint32_t page_size = 0);

  bool ok() const { return page_size_ != 0; }
  const FileHeader& header() const { return header_; }
  uint32_t page_size() const { return page_size_; }
  uint32_t usable() const { return usable_; }
  uint32_t page_count() const { return page_count_; }
  // The last page number that holds anything: page_count(), or one more when the file
  // ends inside a page.
  uint32_t last_page() const { return page_count_ + (partial_ != 0 ? 1 : 0); }
  bool page_size_from_header() const { return size_from_header_; }
  const ByteSource& source() const { return *src_; }

  // Reads page pgno (1-based) into buf (resized to the page size). False when pgno is
  // outside the file or the page cannot be read whole; a page the file ends inside of does
  // not count as in it.
  bool ReadPage(uint32_t pgno, std::vector<uint8_t>* buf) const;
  // The page the file ends inside of (page_count() + 1), zero-filled after the bytes it has;
  // false when there is none. `present` gets how many bytes were read.
  bool ReadPartialPage(std::vector<uint8_t>* buf, uint32_t* present) const;

  // Whether pgno is a pointer-map page of an auto-vacuum file.
  bool IsPointerMapPage(uint32_t pgno) const;
  // Pointer-map entry of pgno: type (1..5) and parent; false when none can be read.
  bool PointerMapEntry(uint32_t pgno, uint8_t* type, uint32_t* parent) const;

  // Scores a candidate page size by how many sampled pages decode as b-tree pages.
  static uint64_t ScorePageSize(const ByteSource& src, uint32_t size, uint32_t reserved);

 private:
  std::unique_ptr<ByteSource> src_;
  FileHeader header_;
  uint32_t page_size_ = 0;
  uint32_t usable_ = 0;
  uint32_t page_count_ = 0;
  uint32_t partial_ = 0;  // bytes of the page after the last whole one
  bool size_from_header_ = false;
};

// Reads a payload completely: the local part and its overflow chain. `usable` check on
// each chain page: it must be inside the file, not yet used by this chain (cycles), and
// acceptable to `page_ok` (the caller's knowledge of which pages are b-tree or free
// pages). The chain must end exactly where the payload does. The buffer grows only as
// chain pages are really read, so a huge declared size cannot allocate beyond the file.
class OverflowGuard {
 public:
  virtual ~OverflowGuard() = default;
  virtual bool PageMayBeOverflow(uint32_t pgno) const = 0;
};
bool ReadFullPayload(const PageFile& file, const PayloadCell& cell, const OverflowGuard* guard,
                     std::vector<uint8_t>* payload, std::vector<uint32_t>* chain);

// The child pages of an interior page, the right child last; none for a leaf.
std::vector<uint32_t> ChildPages(const BtreePage& page);

// The pages of the b-tree at `root` without reading its leaves, most of a file: interior
// pages are read level by level, and of each level below them only the first page, to see
// whether it is a leaf (all leaves sit at one depth). `page` is called for the root and
// for every child a parent names within 2..`last`. `leaf`, when given, is given every leaf,
// and the leaves are then all read. `interior` holds the interior pages walked so far, of
// this tree and others: one met again (a damaged, looping or shared tree) is not walked
// twice. False when the root was walked already.
bool WalkTreePages(const PageFile& file, uint32_t root, uint64_t last,
                   std::unordered_set<uint32_t>* interior,
                   const std::function<void(uint32_t)>& page,
                   const std::function<void(const BtreePage&)>& leaf = nullptr);

}  // namespace tidewell::engine::pagefile
