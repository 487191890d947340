// The small value type held by clsXCollection: empty, null, Boolean, whole and real numbers,
// text, date and object references.
//
// Text form (ToText), which is what the collection's one-line text form is made of:
// - empty gives the empty text; null has no text form and raises VariantConversionError;
// - Booleans give "True" and "False";
// - whole numbers give their decimal digits with a leading "-" when negative;
// - reals give the shortest decimal text that reads back to the same double, with "." as
//   the decimal point and no thousands separator ("2.5", "-0.125", "0.1"); very large or very
//   small magnitudes use an exponent when that is shorter ("1e+20", "1e-07"); the
//   non-finite values give "inf", "-inf" and "nan";
// - dates give "YYYY-MM-DD HH:MM:SS" (ISO 8601 with a blank, always with the time, seconds
//   precision, no time zone); years before 1000 are padded to four digits, years before
//   year 0 carry a leading "-";
// - an object gives the text of its default value, and raises VariantConversionError when it
//   has none (also for a null reference).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

namespace tidewell {

// Raised when a value is asked for a text it does not have (null, or an object without a
// default value). The keyed collection lets it reach its caller only when an assignment
// through Item names its key with such a value.
class VariantConversionError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Variant;

// An object that can be held by reference. Its default value is the value it yields when it
// is used as a plain value; an object may have none (std::nullopt).
class XObject {
 public:
  virtual ~XObject();
  virtual std::optional<Variant> DefaultValue() const = 0;
};

using XDate = std::chrono::sys_seconds;

class Variant {
 public:
  enum class Kind { Empty, Null, Boolean, Whole, Real, Text, Date, Object };

  Variant() = default;  // empty
  Variant(bool value) : value_(value) {}
  template <typename T>
  requires std::is_integral_v<T> &&
      (!std::is_same_v<T, bool>)&&(!std::is_same_v<T, char>)&&(!std::is_same_v<T, char8_t>)
          Variant(T value)
      : value_(static_cast<std::int64_t>(value)) {}
  Variant(double value) : value_(value) {}
  Variant(float value) : value_(static_cast<double>(value)) {}
  Variant(const char* text) : value_(std::string(text)) {}
  Variant(std::string_view text) : value_(std::string(text)) {}
  Variant(std::string text) : value_(std::move(text)) {}
  Variant(XDate date) : value_(date) {}
  // A null pointer is an object reference to nothing: it is an object, without a default value.
  Variant(std::shared_ptr<XObject> object) : value_(std::move(object)) {}

  // Copying and moving are out of line on purpose: inlined, GCC 12 follows a value built as a
  // number into the text alternative's move and warns (wrongly) that the text may be used
  // uninitialised, which breaks -Werror builds at -O2.
  Variant(const Variant& other);
  Variant(Variant&& other) noexcept;
  Variant& operator=(const Variant& other);
  Variant& operator=(Variant&& other) noexcept;
  ~Variant();

  static Variant Null();

  Kind kind() const { return static_cast<Kind>(value_.index()); }
  bool IsEmpty() const { return kind() == Kind::Empty; }
  bool IsNull() const { return kind() == Kind::Null; }
  bool IsObject() const { return kind() == Kind::Object; }
  bool IsText() const { return kind() == Kind::Text; }

  // Direct access; each throws std::bad_variant_access when the kind differs.
  bool AsBoolean() const { return std::get<bool>(value_); }
  std::int64_t AsWhole() const { return std::get<std::int64_t>(value_); }
  double AsReal() const { return std::get<double>(value_); }
  const std::string& AsText() const { return std::get<std::string>(value_); }
  XDate AsDate() const { return std::get<XDate>(value_); }
  const std::shared_ptr<XObject>& AsObject() const {
    return std::get<std::shared_ptr<XObject>>(value_);
  }

  // The value used as a plain value: an object is replaced by its default value (followed
  // through objects whose default value is again an object, a bounded number of times);
  // std::nullopt when the object yields none. Any other value is returned as it is.
  std::optional<Variant> PlainValue() const;

  // The text form described above; throws VariantConversionError when there is none.
  std::string ToText() const;
  // The same without raising: std::nullopt when there is no text form.
  std::optional<std::string> TryToText() const;

  // Same kind and same value; objects are equal when they are the same reference. Reals
  // compare as doubles (so NaN is never equal).
  friend bool operator==(const Variant& a, const Variant& b);

 private:
  struct NullTag {
    friend bool operator==(NullTag, NullTag) { return true; }
  };
  // The order of the alternatives is the order of Kind.
  std::variant<std::monostate, NullTag, bool, std::int64_t, double, std::string, XDate,
               std::shared_ptr<XObject>>
      value_;
};

}  // namespace tidewell
