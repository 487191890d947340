#include "collection/variant.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace tidewell {

namespace {

// Default values that are themselves objects are followed this many times at most, so that an
// object whose default value is itself (or a cycle of objects) cannot hang a conversion.
constexpr int kMaxDefaultDepth = 16;

std::string RealText(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  char buffer[64];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  if (ec != std::errc{}) return {};  // cannot happen: 64 characters hold any double
  return std::string(buffer, end);
}

std::string DateText(XDate date) {
  using namespace std::chrono;
  const sys_days day = floor<days>(date);
  const year_month_day ymd{day};
  const hh_mm_ss<seconds> time{date - day};
  const int year = static_cast<int>(ymd.year());
  char buffer[48];
  std::snprintf(buffer, sizeof buffer, "%s%04d-%02u-%02u %02ld:%02ld:%02ld", year < 0 ? "-" : "",
                year < 0 ? -year : year, static_cast<unsigned>(ymd.month()),
                static_cast<unsigned>(ymd.day()), static_cast<long>(time.hours().count()),
                static_cast<long>(time.minutes().count()),
                static_cast<long>(time.seconds().count()));
  return buffer;
}

}  // namespace

XObject::~XObject() = default;

Variant::Variant(const Variant& other) = default;
Variant::Variant(Variant&& other) noexcept = default;
Variant& Variant::operator=(const Variant& other) = default;
Variant& Variant::operator=(Variant&& other) noexcept = default;
Variant::~Variant() = default;

Variant Variant::Null() {
  Variant v;
  v.value_ = NullTag{};
  return v;
}

std::optional<Variant> Variant::PlainValue() const {
  const Variant* current = this;
  std::optional<Variant> next;
  for (int depth = 0; depth <= kMaxDefaultDepth; ++depth) {
    if (!current->IsObject()) return *current;
    const auto& object = current->AsObject();
    if (!object) return std::nullopt;
    next = object->DefaultValue();
    if (!next) return std::nullopt;
    current = &*next;
  }
  return std::nullopt;
}

std::optional<std::string> Variant::TryToText() const {
  switch (kind()) {
    case Kind::Empty:
      return std::string();
    case Kind::Null:
      return std::nullopt;
    case Kind::Boolean:
      return std::string(AsBoolean() ? "True" : "False");
    case Kind::Whole:
      return std::to_string(AsWhole());
    case Kind::Real:
      return RealText(AsReal());
    case Kind::Text:
      return AsText();
    case Kind::Date:
      return DateText(AsDate());
    case Kind::Object: {
      const auto plain = PlainValue();
      if (!plain) return std::nullopt;
      return plain->TryToText();
    }
  }
  return std::nullopt;
}

std::string Variant::ToText() const {
  if (auto text = TryToText()) return std::move(*text);
  const auto plain = PlainValue();
  if (plain && plain->IsNull()) throw VariantConversionError("Invalid use of Null");
  throw VariantConversionError("Object has no default value to convert to text");
}

bool operator==(const Variant& a, const Variant& b) {
  return a.value_ == b.value_;
}

}  // namespace tidewell
