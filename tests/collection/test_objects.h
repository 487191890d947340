// Objects for the collection tests: their default value can be set, changed or left absent.
#pragma once

#include <memory>
#include <optional>
#include <utility>

#include "collection/variant.h"

namespace tidewell::testing {

class SettableObject : public XObject {
 public:
  explicit SettableObject(std::optional<Variant> value = std::nullopt) : value_(std::move(value)) {}
  std::optional<Variant> DefaultValue() const override { return value_; }
  void Set(std::optional<Variant> value) { value_ = std::move(value); }

 private:
  std::optional<Variant> value_;
};

inline std::shared_ptr<SettableObject> MakeObject(std::optional<Variant> value = std::nullopt) {
  return std::make_shared<SettableObject>(std::move(value));
}

}  // namespace tidewell::testing
