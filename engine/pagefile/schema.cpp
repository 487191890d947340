#include "engine/pagefile/schema.h"

#include <algorithm>
#include <cctype>
#include <optional>

namespace tidewell::engine::pagefile {

namespace {

std::string Upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

struct Token {
  enum Kind { kWord, kQuoted, kString, kPunct, kOther } kind;
  std::string text;           // words as written, quoted names unquoted, punctuation as one char
  size_t begin = 0, end = 0;  // where it stands in the statement
};

// Splits SQL into tokens; false on an unterminated quote or comment.
bool Tokenize(std::string_view sql, std::vector<Token>* out) {
  size_t i = 0;
  while (i < sql.size()) {
    char c = sql[i];
    if (std::isspace(static_cast<unsigned char>(c))) {
      ++i;
    } else if (c == '-' && i + 1 < sql.size() && sql[i + 1] == '-') {
      while (i < sql.size() && sql[i] != '\n') ++i;
    } else if (c == '/' && i + 1 < sql.size() && sql[i + 1] == '*') {
      size_t end = sql.find("*/", i + 2);
      if (end == std::string_view::npos) return false;
      i = end + 2;
    } else if (c == '"' || c == '`' || c == '\'' || c == '[') {
      char close = c == '[' ? ']' : c;
      std::string text;
      size_t j = i + 1;
      for (;;) {
        if (j >= sql.size()) return false;
        if (sql[j] == close) {
          if (close != ']' && j + 1 < sql.size() && sql[j + 1] == close) {
            text.push_back(close);
            j += 2;
            continue;
          }
          break;
        }
        text.push_back(sql[j++]);
      }
      out->push_back({c == '\'' ? Token::kString : Token::kQuoted, std::move(text), i, j + 1});
      i = j + 1;
    } else if (std::isalnum(static_cast<unsigned char>(c)) || c == '_' ||
               static_cast<unsigned char>(c) >= 0x80 || c == '$') {
      size_t j = i;
      while (j < sql.size() &&
             (std::isalnum(static_cast<unsigned char>(sql[j])) || sql[j] == '_' || sql[j] == '$' ||
              static_cast<unsigned char>(sql[j]) >= 0x80 || sql[j] == '.')) {
        ++j;
      }
      out->push_back({Token::kWord, std::string(sql.substr(i, j - i)), i, j});
      i = j;
    } else if (c == '(' || c == ')' || c == ',' || c == '.') {
      out->push_back({Token::kPunct, std::string(1, c), i, i + 1});
      ++i;
    } else {
      out->push_back({Token::kOther, std::string(1, c), i, i + 1});
      ++i;
    }
  }
  return true;
}

bool IsWord(const Token& t, std::string_view upper_word) {
  return t.kind == Token::kWord && Upper(t.text) == upper_word;
}

bool IsName(const Token& t) {
  return t.kind == Token::kWord || t.kind == Token::kQuoted || t.kind == Token::kString;
}

bool StartsConstraint(const Token& t) {
  static const char* const kWords[] = {"CONSTRAINT", "PRIMARY",   "NOT",     "NULL",
                                       "UNIQUE",     "CHECK",     "DEFAULT", "COLLATE",
                                       "REFERENCES", "GENERATED", "AS"};
  if (t.kind != Token::kWord) return false;
  std::string u = Upper(t.text);
  return std::any_of(std::begin(kWords), std::end(kWords), [&](const char* w) { return u == w; });
}

}  // namespace

Affinity AffinityOf(std::string_view declared_type) {
  std::string t = Upper(declared_type);
  if (t.find("INT") != std::string::npos) return Affinity::kInteger;
  if (t.find("CHAR") != std::string::npos || t.find("CLOB") != std::string::npos ||
      t.find("TEXT") != std::string::npos) {
    return Affinity::kText;
  }
  if (t.empty() || t.find("BLOB") != std::string::npos) return Affinity::kBlob;
  if (t.find("REAL") != std::string::npos || t.find("FLOA") != std::string::npos ||
      t.find("DOUB") != std::string::npos) {
    return Affinity::kReal;
  }
  return Affinity::kNumeric;
}

TableShape ParseCreateTable(std::string_view sql) {
  TableShape shape;
  std::vector<Token> toks;
  if (!Tokenize(sql, &toks)) return shape;
  size_t i = 0;
  auto at = [&](size_t k) -> const Token* { return k < toks.size() ? &toks[k] : nullptr; };
  if (!at(i) || !IsWord(*at(i), "CREATE")) return shape;
  ++i;
  if (at(i) && (IsWord(*at(i), "TEMP") || IsWord(*at(i), "TEMPORARY"))) ++i;
  if (!at(i) || !IsWord(*at(i), "TABLE")) return shape;
  ++i;
  if (at(i) && IsWord(*at(i), "IF")) i += 3;  // IF NOT EXISTS
  if (!at(i) || !IsName(*at(i))) return shape;
  ++i;
  if (at(i) && at(i)->kind == Token::kPunct && at(i)->text == ".") i += 2;
  if (!at(i) || at(i)->kind != Token::kPunct || at(i)->text != "(") return shape;  // AS SELECT
  ++i;

  // Split the body into top-level items.
  std::vector<std::vector<Token>> items(1);
  int depth = 0;
  bool closed = false;
  for (; i < toks.size(); ++i) {
    const Token& t = toks[i];
    if (t.kind == Token::kPunct && t.text == "(") ++depth;
    if (t.kind == Token::kPunct && t.text == ")") {
      if (depth == 0) {
        closed = true;
        ++i;
        break;
      }
      --depth;
    }
    if (depth == 0 && t.kind == Token::kPunct && t.text == ",") {
      items.emplace_back();
      continue;
    }
    items.back().push_back(t);
  }
  if (!closed) return shape;
  for (; i < toks.size(); ++i) {
    if (IsWord(toks[i], "WITHOUT")) shape.without_rowid = true;
  }

  auto collation_of = [](const Token& t) {
    std::string u = Upper(t.text);
    return u == "BINARY"   ? TableShape::Collation::kBinary
           : u == "NOCASE" ? TableShape::Collation::kNocase
           : u == "RTRIM"  ? TableShape::Collation::kRtrim
                           : TableShape::Collation::kOther;
  };
  std::vector<std::string> table_pk;
  // A key column's sort as the table's PRIMARY KEY clause gives it; no collation there
  // means the column's own.
  std::vector<std::pair<std::optional<TableShape::Collation>, bool>> table_pk_sort;
  std::vector<bool> column_pk;
  std::vector<bool> column_pk_desc;
  std::vector<TableShape::Collation> column_collation;
  for (const auto& item : items) {
    if (item.empty()) return shape;
    const Token& first = item[0];
    if (IsWord(first, "CONSTRAINT") || IsWord(first, "PRIMARY") || IsWord(first, "UNIQUE") ||
        IsWord(first, "CHECK") || IsWord(first, "FOREIGN")) {
      size_t k = 0;
      if (IsWord(first, "CONSTRAINT")) k = 2;
      if (k < item.size() && IsWord(item[k], "PRIMARY")) {
        // PRIMARY KEY ( name [COLLATE x] [ASC|DESC], ... )
        int d = 0;
        bool expect_name = false;
        for (size_t m = k + 1; m < item.size(); ++m) {
          const Token& t = item[m];
          if (t.kind == Token::kPunct && t.text == "(") {
            if (++d == 1) expect_name = true;
            continue;
          }
          if (t.kind == Token::kPunct && t.text == ")") {
            if (--d == 0) break;
            continue;
          }
          if (d == 1 && t.kind == Token::kPunct && t.text == ",") {
            expect_name = true;
            continue;
          }
          if (d == 1 && expect_name && IsName(t)) {
            table_pk.push_back(t.text);
            table_pk_sort.emplace_back();
            expect_name = false;
            continue;
          }
          if (d == 1 && !table_pk_sort.empty()) {
            if (IsWord(t, "COLLATE") && m + 1 < item.size()) {
              table_pk_sort.back().first = collation_of(item[++m]);
            } else if (IsWord(t, "DESC")) {
              table_pk_sort.back().second = true;
            }
          }
        }
      }
      continue;
    }
    if (!IsName(first)) return shape;
    Column col;
    col.name = first.text;
    size_t k = 1;
    int d = 0;
    std::string type;
    for (; k < item.size(); ++k) {
      const Token& t = item[k];
      if (d == 0 && StartsConstraint(t)) break;
      if (t.kind == Token::kPunct && t.text == "(") ++d;
      if (t.kind == Token::kPunct && t.text == ")") --d;
      if (!type.empty() && t.kind == Token::kWord && type.back() != '(') type += ' ';
      type += t.text;
    }
    bool pk = false, pk_desc = false, generated = false, generated_virtual = false;
    TableShape::Collation collation = TableShape::Collation::kBinary;
    for (size_t m = k; m < item.size(); ++m) {
      if (IsWord(item[m], "COLLATE") && m + 1 < item.size()) collation = collation_of(item[m + 1]);
      if (IsWord(item[m], "PRIMARY")) {
        pk = true;
        if (m + 2 < item.size() && IsWord(item[m + 2], "DESC")) pk_desc = true;
      }
      if (IsWord(item[m], "AS") || IsWord(item[m], "GENERATED")) {
        generated = generated_virtual = true;
        for (size_t n = m; n < item.size(); ++n) {
          if (IsWord(item[n], "STORED")) generated_virtual = false;
        }
        break;
      }
    }
    if (generated_virtual) continue;  // not stored in the record
    col.declared_type = type;
    col.affinity = AffinityOf(type);
    col.generated = generated;
    shape.columns.push_back(std::move(col));
    column_pk.push_back(pk);
    column_pk_desc.push_back(pk_desc);
    column_collation.push_back(collation);
  }
  if (shape.columns.empty()) return shape;

  // The rowid alias: a single INTEGER PRIMARY KEY column of a rowid table.
  if (!shape.without_rowid) {
    int pk_count = 0, pk_index = -1;
    for (size_t c = 0; c < shape.columns.size(); ++c) {
      if (column_pk[c]) {
        ++pk_count;
        pk_index = static_cast<int>(c);
      }
    }
    if (pk_count == 1 && table_pk.empty() && !column_pk_desc[static_cast<size_t>(pk_index)] &&
        Upper(shape.columns[static_cast<size_t>(pk_index)].declared_type) == "INTEGER") {
      shape.rowid_column = pk_index;
    }
    if (pk_count == 0 && table_pk.size() == 1) {
      for (size_t c = 0; c < shape.columns.size(); ++c) {
        if (Upper(shape.columns[c].name) == Upper(table_pk[0]) &&
            Upper(shape.columns[c].declared_type) == "INTEGER") {
          shape.rowid_column = static_cast<int>(c);
        }
      }
    }
  }
  std::vector<bool> in_key(shape.columns.size(), false);
  if (shape.without_rowid) {
    std::vector<int> key;
    for (size_t n = 0; n < table_pk.size(); ++n) {
      int found = -1;
      for (size_t c = 0; c < shape.columns.size(); ++c) {
        if (Upper(shape.columns[c].name) == Upper(table_pk[n])) found = static_cast<int>(c);
      }
      if (found < 0) return shape;                       // a key column we cannot place
      if (in_key[static_cast<size_t>(found)]) continue;  // named twice, stored once
      in_key[static_cast<size_t>(found)] = true;
      key.push_back(found);
      const auto& [collation, descending] = table_pk_sort[n];
      shape.key_sort.push_back(
          {collation.value_or(column_collation[static_cast<size_t>(found)]), descending});
    }
    for (size_t c = 0; c < shape.columns.size(); ++c) {
      if (column_pk[c] && !in_key[c]) {
        in_key[c] = true;
        key.push_back(static_cast<int>(c));
        shape.key_sort.push_back({column_collation[c], column_pk_desc[c]});
      }
    }
    if (key.empty()) return shape;  // SQLite refuses such a table; so do we
    shape.record_order = key;
    shape.key_columns = key.size();
  }
  for (size_t c = 0; c < shape.columns.size(); ++c) {
    if (!in_key[c]) shape.record_order.push_back(static_cast<int>(c));
  }
  shape.parsed = true;
  return shape;
}

namespace {

// Serial type classes: 0 null, 1 integer, 2 real, 3 text, 4 blob.
int ClassOf(uint64_t st) {
  if (st == 0) return 0;
  if (st <= 6 || st == 8 || st == 9) return 1;
  if (st == 7) return 2;
  return (st & 1) ? 3 : 4;
}

bool ClassesFit(const TableShape& shape, const std::vector<int>& classes) {
  if (!shape.parsed) return false;
  if (classes.empty() || classes.size() > shape.columns.size()) return false;
  // A key is never NULL in a WITHOUT ROWID table, and a record always holds all of it.
  if (classes.size() < shape.key_columns) return false;
  for (size_t c = 0; c < classes.size(); ++c) {
    auto col = static_cast<size_t>(shape.record_order[c]);
    if (static_cast<int>(col) == shape.rowid_column && classes[c] != 0) return false;
    if (c < shape.key_columns && classes[c] == 0) return false;
    // Text affinity turns every number stored into the column into text.
    if (shape.columns[col].affinity == Affinity::kText && (classes[c] == 1 || classes[c] == 2)) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool SerialTypesFitTable(const TableShape& shape, const std::vector<uint64_t>& serial_types) {
  std::vector<int> classes;
  classes.reserve(serial_types.size());
  for (uint64_t st : serial_types) classes.push_back(ClassOf(st));
  return ClassesFit(shape, classes);
}

bool RecordFitsTable(const TableShape& shape, const std::vector<Value>& values) {
  std::vector<int> classes;
  classes.reserve(values.size());
  for (const Value& v : values) {
    classes.push_back(v.kind == Value::kNull   ? 0
                      : v.kind == Value::kInt  ? 1
                      : v.kind == Value::kReal ? 2
                      : v.kind == Value::kText ? 3
                                               : 4);
  }
  return ClassesFit(shape, classes);
}

bool DecodeRecordHeader(Bytes local, uint64_t payload_size, std::vector<uint64_t>* types) {
  types->clear();
  uint64_t header_size = 0;
  size_t n = ReadVarint(local, &header_size);
  if (n == 0 || header_size < n || header_size > local.size() || header_size > payload_size) {
    return false;
  }
  Bytes header = local.subspan(0, header_size);
  size_t pos = n;
  uint64_t body = 0;
  while (pos < header_size) {
    uint64_t st = 0;
    size_t m = ReadVarint(header.subspan(pos), &st);
    if (m == 0 || st == 10 || st == 11) return false;
    pos += m;
    static const uint8_t kSizes[] = {0, 1, 2, 3, 4, 6, 8, 8, 0, 0};
    uint64_t len = st < 10 ? kSizes[st] : (st - 12) / 2;
    if (len > payload_size) return false;
    body += len;
    if (body > payload_size) return false;
    types->push_back(st);
  }
  return pos == header_size && header_size + body == payload_size;
}

std::vector<IndexTerm> IndexTerms(std::string_view sql) {
  std::vector<Token> toks;
  if (!Tokenize(sql, &toks)) return {};
  size_t i = 0;
  while (i < toks.size() && !IsWord(toks[i], "ON")) ++i;
  i += 2;  // ON name
  if (i < toks.size() && toks[i].kind == Token::kPunct && toks[i].text == ".") i += 2;
  if (i >= toks.size() || toks[i].kind != Token::kPunct || toks[i].text != "(") return {};
  int depth = 0;
  std::vector<Token> term;
  std::vector<IndexTerm> terms;
  auto finish = [&] {
    IndexTerm t;
    // The term as written, without a direction, which is no part of the value.
    size_t last = term.size();
    if (last > 1 && (IsWord(term[last - 1], "ASC") || IsWord(term[last - 1], "DESC"))) --last;
    if (last > 0) t.text = sql.substr(term[0].begin, term[last - 1].end - term[0].begin);
    // A bare column, perhaps with COLLATE x or a direction; anything else is an expression.
    if (!term.empty() && IsName(term[0]) &&
        (term.size() == 1 || IsWord(term[1], "COLLATE") || IsWord(term[1], "ASC") ||
         IsWord(term[1], "DESC"))) {
      t.plain = term[0].text;
    }
    terms.push_back(std::move(t));
    term.clear();
  };
  for (++i; i < toks.size(); ++i) {
    const Token& t = toks[i];
    if (t.kind == Token::kPunct && t.text == "(") ++depth;
    if (t.kind == Token::kPunct && t.text == ")" && depth-- == 0) {
      finish();
      return terms;
    }
    if (depth == 0 && t.kind == Token::kPunct && t.text == ",") {
      finish();
      continue;
    }
    term.push_back(t);
  }
  return {};
}

std::string IndexTableName(std::string_view sql) {
  std::vector<Token> toks;
  if (!Tokenize(sql, &toks)) return {};
  size_t i = 0;
  while (i < toks.size() && !IsWord(toks[i], "ON")) ++i;
  if (++i >= toks.size()) return {};
  if (i + 2 < toks.size() && toks[i + 1].kind == Token::kPunct && toks[i + 1].text == ".") i += 2;
  return IsName(toks[i]) ? toks[i].text : std::string();
}

int IndexColumns(std::string_view sql, std::vector<std::string>* plain_names) {
  std::vector<IndexTerm> terms = IndexTerms(sql);
  if (terms.empty()) return -1;
  for (const IndexTerm& t : terms)
    if (!t.plain.empty()) plain_names->push_back(t.plain);
  return static_cast<int>(terms.size());
}

bool RecordToDeclared(const TableShape& shape, std::vector<Value>* values) {
  if (!shape.without_rowid) return true;
  size_t n = values->size();
  if (n > shape.record_order.size()) return false;
  std::vector<Value> declared(n);
  for (size_t k = 0; k < n; ++k) {
    auto col = static_cast<size_t>(shape.record_order[k]);
    if (col >= n) return false;  // a gap would open before a column that has a value
    declared[col] = (*values)[k];
  }
  *values = std::move(declared);
  return true;
}

std::string QuoteName(std::string_view name) {
  std::string out = "\"";
  for (char c : name) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
  return out;
}

}  // namespace tidewell::engine::pagefile
