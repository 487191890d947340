// clsXCollection: an ordered collection of values under text keys, with a one-line text form
// ("key=value" pairs separated by TAB) that keeps a whole set of settings in one string.
//
// Entries keep the order in which their keys were first added and are reached by position
// (1 to Count) or by key. Keys compare without regard to case: both sides are upper-cased
// first, for ASCII, Latin-1, Latin Extended-A, Greek and Cyrillic letters ("ä" matches "Ä");
// every other character, and bytes that are not valid UTF-8, must match exactly.
//
// Whether an argument is a key or a position depends on its kind, never on its content:
// - text is a key (the text "2" is the key "2", not position 2);
// - a whole number is a position; a real is rounded down for Key and Item, and rounded to the
//   nearest whole number with halves going to the even neighbour for Remove and Exists;
// - False is position 0 and True position -1; empty is position 0;
// - an object stands for its default value and is resolved again by that value's kind;
// - null, dates, objects without a default value, and non-finite reals find nothing.
// Position 0, positions outside 1..Count and keys that are not present find nothing: Key gives
// the empty text, Item an empty value, Exists false, and Remove does nothing. Among duplicate
// keys (see Add) every lookup finds the one with the lowest position.
//
// Nothing raises except an assignment through Item whose key has no text form (null, or an
// object without a default value): VariantConversionError then reaches the caller and nothing
// is stored.
//
// Text form. Keys and value texts are escaped so that they never contain the separators:
// "&" and the character with code 1 become "&amp;", "=" "&eq;", the double quote "&quote;",
// TAB "&tab;", CR LF "&crlf;", a remaining CR "&cr;"; a lone LF is written as it is. Reading
// undoes these ("&cr;", "&crlf;", "&tab;", "&quote;", "&eq;", "&amp;"); any other "&" text is
// kept as it is. Choices for what the writer never produces or cannot write:
// - SerialGet writes a value that has no text form (null, an object without a default value)
//   as the empty text, so its key survives a round trip ("key=" reads back as key with "").
// - SerialSet skips empty pairs: a TAB at the start, two TABs in a row and a TAB at the end
//   separate nothing, so "a=1\t\tb=2" and "\ta=1\tb=2" both give a=1 and b=2.
// - SerialSet reads a pair without "=" as a key with the empty text as its value (the whole
//   unescaped pair is the key), so no part of the text is dropped or given to another key.
// - A pair is split at its first "=": "a=b=c" is key "a" with value "b=c".
// - SerialSet has no length limit: texts of 32767 characters or more are read completely,
//   in time linear in their length.
//
// Growth: every new key adds exactly one slot at the end and every removal takes exactly one
// away (Count always equals the number of entries). Key lookups go through an index of the
// upper-cased keys, so Add, FindKey and SerialSet do not rescan the entries; Remove moves the
// later entries down and is linear in their number.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "collection/variant.h"

namespace tidewell {

class clsXCollection {
 public:
  // When true, Add stores an object value as a reference to that same object; when false,
  // every value is stored as a plain value (an object by its default value).
  bool g_blnObjectsOk = false;

  std::string SerialGet() const;
  // Adds the pairs of a text form; entries already present stay, and keys present (without
  // regard to case) get the new value and the new letter case in place. Values are stored as
  // text.
  void SerialSet(std::string_view p_strSerialText);

  // The stored key (in its stored letter case) of the entry found; empty if none.
  std::string Key(const Variant& p_vntIndex) const;
  std::int32_t Count() const { return static_cast<std::int32_t>(entries_.size()); }

  // Item get: the value found (an object as the same reference); empty if none.
  Variant Item(const Variant& p_vntKey) const;
  // Item let: the key argument is turned into its text (a number into its decimal text) and
  // the value is added under that key with checking on. Always by key, never by position.
  // Throws VariantConversionError when the key argument has no text form.
  void Item(const Variant& p_vntKey, const Variant& p_vntValue);
  // Item set: the same for an object reference.
  void ItemSet(const Variant& p_vntKey, std::shared_ptr<XObject> p_objValue);

  // Stores the value under the key. Unless p_blnDontCheck is set, a key already present
  // (without regard to case) keeps its position and takes the letter case of p_strKey;
  // otherwise the entry is appended, so duplicate keys can arise. An object value is kept by
  // reference when g_blnObjectsOk is true, else by its default value; an object without one
  // leaves the previous value (empty for a new entry).
  void Add(std::string_view p_strKey, const Variant& p_vntItem, bool p_blnDontCheck = false);
  void Clear();
  void Remove(const Variant& p_vntIndexKey);
  bool Exists(const Variant& p_vntIndexKey) const;

 private:
  struct XCollectionEntry {
    std::string Key;
    Variant Item;
    std::string folded;  // Key upper-cased: the index's key
    std::uint64_t id;    // grows with every new entry, so ids ascend with positions
  };

  enum class Rounding { Down, HalfEven };

  // Position of the first entry whose key matches, or 0.
  std::int32_t FindKey(std::string_view key) const;
  // Position for a key-or-position argument; 0 when it finds nothing.
  std::int32_t Resolve(const Variant& index, Rounding rounding) const;
  std::int32_t PositionOfId(std::uint64_t id) const;

  std::vector<XCollectionEntry> entries_;  // position p lives at entries_[p - 1]
  // Upper-cased key -> ids of the entries with that key, ascending.
  std::unordered_map<std::string, std::vector<std::uint64_t>> index_;
  std::uint64_t next_id_ = 0;
};

}  // namespace tidewell
