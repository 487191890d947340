// Lets the engine's progress and notes reach a host while long engine work runs.
#pragma once

#include "maintenance/host.h"

namespace tidewell {

// Routes nest: a runner routes progress for a whole operation, and the operation routes
// again around each engine call it makes when called on its own. Only the outermost route
// installs the host and takes it away again, so an inner one ending never silences the
// outer one, and no stale host is ever called after the work is done.
class ProgressRoute {
 public:
  explicit ProgressRoute(Host& host);
  ~ProgressRoute();
  ProgressRoute(const ProgressRoute&) = delete;
  ProgressRoute& operator=(const ProgressRoute&) = delete;

 private:
  bool outermost_ = false;
};

}  // namespace tidewell
