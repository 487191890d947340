#include "engine/errors.h"

namespace tidewell::engine {

void Raise(int32_t number, std::string description) {
  throw EngineException(number, std::move(description));
}

}  // namespace tidewell::engine
