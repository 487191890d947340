#include "collection/clsXCollection.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tidewell {

namespace {

// Upper case of one code point from U+0080 to U+07FF, for the scripts keys are expected to
// use; everything else is its own upper case. Letters without a single-character upper case
// (such as "ß") stay.
char32_t UpperCodePoint(char32_t c) {
  if ((c >= 0xE0 && c <= 0xFE && c != 0xF7)) return c - 0x20;
  if (c == 0xFF) return 0x178;
  if (c >= 0x100 && c <= 0x17F) {
    // Latin Extended-A pairs an upper-case letter with the lower-case one after it, on even
    // code points up to U+0137 and from U+014A, on odd ones in between and from U+0179.
    if ((c >= 0x100 && c <= 0x137) || (c >= 0x14A && c <= 0x177)) return (c & 1) ? c - 1 : c;
    if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) return (c & 1) ? c : c - 1;
    return c;
  }
  if (c >= 0x3B1 && c <= 0x3C9) return c == 0x3C2 ? 0x3A3 : c - 0x20;  // final sigma
  if (c == 0x3AC) return 0x386;
  if (c >= 0x3AD && c <= 0x3AF) return c - 0x25;
  if (c == 0x3CC) return 0x38C;
  if (c == 0x3CD || c == 0x3CE) return c - 0x3F;
  if (c >= 0x430 && c <= 0x44F) return c - 0x20;
  if (c >= 0x450 && c <= 0x45F) return c - 0x50;
  return c;
}

// Letters that change are all two-byte sequences in UTF-8, and so are their upper cases.
void AppendTwoByteUtf8(std::string& out, char32_t c) {
  out += static_cast<char>(0xC0 | (c >> 6));
  out += static_cast<char>(0x80 | (c & 0x3F));
}

// The text upper-cased, for comparing keys. Only two-byte UTF-8 sequences can hold a letter
// that changes; every other byte is copied, so invalid UTF-8 is compared byte for byte.
std::string UpperKey(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (b < 0x80) {
      out += static_cast<char>((b >= 'a' && b <= 'z') ? b - 0x20 : b);
      continue;
    }
    if (b >= 0xC2 && b <= 0xDF && i + 1 < text.size()) {
      const auto b2 = static_cast<unsigned char>(text[i + 1]);
      if ((b2 & 0xC0) == 0x80) {
        const char32_t c = (static_cast<char32_t>(b & 0x1F) << 6) | (b2 & 0x3F);
        AppendTwoByteUtf8(out, UpperCodePoint(c));
        ++i;
        continue;
      }
    }
    out += static_cast<char>(b);
  }
  return out;
}

std::string SerialEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    switch (c) {
      case '&':
      case '\x01':
        out += "&amp;";
        break;
      case '=':
        out += "&eq;";
        break;
      case '"':
        out += "&quote;";
        break;
      case '\t':
        out += "&tab;";
        break;
      case '\r':
        if (i + 1 < text.size() && text[i + 1] == '\n') {
          out += "&crlf;";
          ++i;
        } else {
          out += "&cr;";
        }
        break;
      default:
        out += c;
    }
  }
  return out;
}

// One pass over the text. It gives what the replacements one after another would give: every
// entity begins with "&" and holds no other "&", so two entities never overlap, and no
// replacement yields a text that a later one would match.
std::string SerialUnescape(std::string_view text) {
  struct Entity {
    std::string_view name;
    std::string_view text;
  };
  static constexpr Entity kEntities[] = {{"&cr;", "\r"},    {"&crlf;", "\r\n"}, {"&tab;", "\t"},
                                         {"&quote;", "\""}, {"&eq;", "="},      {"&amp;", "&"}};
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t amp = text.find('&', i);
    if (amp == std::string_view::npos) {
      out.append(text.substr(i));
      break;
    }
    out.append(text.substr(i, amp - i));
    i = amp;
    bool replaced = false;
    for (const auto& entity : kEntities) {
      if (text.substr(i, entity.name.size()) == entity.name) {
        out.append(entity.text);
        i += entity.name.size();
        replaced = true;
        break;
      }
    }
    if (!replaced) {
      out += '&';
      ++i;
    }
  }
  return out;
}

// Rounds a real to a whole position, or returns nullopt when it can be no position at all.
std::optional<std::int64_t> RealToPosition(double value, bool half_even) {
  if (!std::isfinite(value)) return std::nullopt;
  double whole = std::floor(value);
  if (half_even) {
    const double fraction = value - whole;
    if (fraction > 0.5 || (fraction == 0.5 && std::fmod(whole, 2.0) != 0.0)) whole += 1.0;
  }
  // Anything beyond the 32-bit range lies outside 1..Count anyway.
  constexpr double kLimit = 4294967296.0;
  if (whole < -kLimit || whole > kLimit) return std::nullopt;
  return static_cast<std::int64_t>(whole);
}

}  // namespace

std::int32_t clsXCollection::PositionOfId(std::uint64_t id) const {
  const auto it = std::lower_bound(
      entries_.begin(), entries_.end(), id,
      [](const XCollectionEntry& entry, std::uint64_t wanted) { return entry.id < wanted; });
  return static_cast<std::int32_t>(it - entries_.begin()) + 1;
}

std::int32_t clsXCollection::FindKey(std::string_view key) const {
  const auto it = index_.find(UpperKey(key));
  if (it == index_.end() || it->second.empty()) return 0;
  return PositionOfId(it->second.front());
}

std::int32_t clsXCollection::Resolve(const Variant& index, Rounding rounding) const {
  const auto plain = index.PlainValue();
  if (!plain) return 0;
  std::optional<std::int64_t> position;
  switch (plain->kind()) {
    case Variant::Kind::Text:
      return FindKey(plain->AsText());
    case Variant::Kind::Empty:
      position = 0;
      break;
    case Variant::Kind::Boolean:
      position = plain->AsBoolean() ? -1 : 0;
      break;
    case Variant::Kind::Whole:
      position = plain->AsWhole();
      break;
    case Variant::Kind::Real:
      position = RealToPosition(plain->AsReal(), rounding == Rounding::HalfEven);
      break;
    case Variant::Kind::Null:
    case Variant::Kind::Date:
    case Variant::Kind::Object:
      return 0;
  }
  if (!position || *position < 1 || *position > Count()) return 0;
  return static_cast<std::int32_t>(*position);
}

std::string clsXCollection::Key(const Variant& p_vntIndex) const {
  const auto position = Resolve(p_vntIndex, Rounding::Down);
  return position > 0 ? entries_[position - 1].Key : std::string();
}

Variant clsXCollection::Item(const Variant& p_vntKey) const {
  const auto position = Resolve(p_vntKey, Rounding::Down);
  return position > 0 ? entries_[position - 1].Item : Variant();
}

void clsXCollection::Item(const Variant& p_vntKey, const Variant& p_vntValue) {
  Add(p_vntKey.ToText(), p_vntValue, false);
}

void clsXCollection::ItemSet(const Variant& p_vntKey, std::shared_ptr<XObject> p_objValue) {
  Add(p_vntKey.ToText(), Variant(std::move(p_objValue)), false);
}

bool clsXCollection::Exists(const Variant& p_vntIndexKey) const {
  return Resolve(p_vntIndexKey, Rounding::HalfEven) > 0;
}

void clsXCollection::Add(std::string_view p_strKey, const Variant& p_vntItem, bool p_blnDontCheck) {
  std::string folded = UpperKey(p_strKey);
  std::int32_t position = 0;
  if (!p_blnDontCheck) {
    const auto it = index_.find(folded);
    if (it != index_.end() && !it->second.empty()) position = PositionOfId(it->second.front());
  }
  // The new value is worked out before anything changes, so the entry is complete the moment
  // it appears.
  std::optional<Variant> value;
  if (p_vntItem.IsObject() && g_blnObjectsOk) {
    value = p_vntItem;
  } else {
    value = p_vntItem.PlainValue();
  }
  if (position < 1) {
    const std::uint64_t id = next_id_++;
    entries_.push_back(XCollectionEntry{std::string(p_strKey), Variant(), folded, id});
    // New ids are the largest so far: appending keeps the list ascending.
    index_[std::move(folded)].push_back(id);
    position = Count();
  }
  auto& entry = entries_[position - 1];
  entry.Key = std::string(p_strKey);
  if (value) entry.Item = std::move(*value);
}

void clsXCollection::Clear() {
  entries_.clear();
  entries_.shrink_to_fit();
  index_.clear();
}

void clsXCollection::Remove(const Variant& p_vntIndexKey) {
  const auto position = Resolve(p_vntIndexKey, Rounding::HalfEven);
  if (position < 1) return;
  const auto& entry = entries_[position - 1];
  const auto bucket = index_.find(entry.folded);
  if (bucket != index_.end()) {
    auto& ids = bucket->second;
    ids.erase(std::remove(ids.begin(), ids.end(), entry.id), ids.end());
    if (ids.empty()) index_.erase(bucket);
  }
  entries_.erase(entries_.begin() + (position - 1));
}

std::string clsXCollection::SerialGet() const {
  std::string out;
  for (const auto& entry : entries_) {
    if (!out.empty()) out += '\t';
    out += SerialEscape(entry.Key);
    out += '=';
    out += SerialEscape(entry.Item.TryToText().value_or(std::string()));
  }
  return out;
}

void clsXCollection::SerialSet(std::string_view p_strSerialText) {
  std::size_t start = 0;
  while (start < p_strSerialText.size()) {
    std::size_t end = p_strSerialText.find('\t', start);
    if (end == std::string_view::npos) end = p_strSerialText.size();
    const auto pair = p_strSerialText.substr(start, end - start);
    start = end + 1;
    if (pair.empty()) continue;
    const auto eq = pair.find('=');
    if (eq == std::string_view::npos) {
      Add(SerialUnescape(pair), Variant(std::string()), false);
    } else {
      Add(SerialUnescape(pair.substr(0, eq)), Variant(SerialUnescape(pair.substr(eq + 1))), false);
    }
  }
}

}  // namespace tidewell
