// Whether another program has a database file open. The engine's lock and SQLite's locks
// keep out only the programs that take them: an idle SQLite connection, or a program that
// writes without SQLite's locks, still has the file open, and a copy swapped in under it
// leaves that program working on what is then the backup. So the exclusive open, and the
// swaps right before they rename, also ask the kernel.
//
// Two means, the first that answers wins:
//   - A write lease (F_SETLEASE, F_WRLCK) on a fresh descriptor. The kernel grants it only
//     while no other descriptor of the file is open, in any process of any user on this
//     machine, so a granted lease means nobody else holds the file. It is given up at once:
//     held, it would make the next program that opens the file wait for us. It cannot be
//     tried while this process has the file open itself (our own descriptor would refuse
//     it), on a file of another owner unless we run as root, or on a file system without
//     leases.
//   - Otherwise a look through /proc/<pid>/fd of every process but this one, as fuser does.
//
// What neither sees: a program on another machine that has the file open over a network
// file system, and, when the lease cannot be tried and we do not run as root, a process of
// another user (its /proc/<pid>/fd is closed to us). Nor can a look keep a program from
// opening the file a moment after it: the swaps look last thing before they rename. Opens
// inside this process are never counted: they are the engine's own, which its lock orders.
#pragma once

#include <string>

namespace tidewell::engine {

class HolderProbe {
 public:
  virtual ~HolderProbe() = default;
  // Names another process that has `path` open ("process 4711 (sqlite3)"), or returns an
  // empty text when none is seen.
  virtual std::string OtherHolder(const std::string& path) = 0;
};

// The probe of this process (the real one unless a test put another in front).
HolderProbe& Holders();
// Returns the one that was in place; nullptr restores the real one.
HolderProbe* SetHolders(HolderProbe* probe);

// The two means on their own.
enum class LeaseAnswer { kFree, kHeld, kCannotTell };
LeaseAnswer TryWriteLease(const std::string& path);
// Another process whose descriptors include `path`, or empty.
std::string HolderInProc(const std::string& path);

// Raises kErrFileInUse, naming the holder, when another process has `path` open.
void RefuseIfHeldElsewhere(const std::string& path);

}  // namespace tidewell::engine
