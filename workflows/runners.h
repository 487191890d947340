// The four button workflows, shared by the window and the console front end. A workflow
// is a handler (locks the window, picks the two paths, shows the closing message) and a
// worker (checks one file exists and runs one operation on it under the busy pointer).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "maintenance/host.h"

namespace tidewell {

// What the runners need from the window they run in. The Qt window implements it; the
// console front end has a window-less one; tests use a fake.
class WindowPort {
 public:
  virtual ~WindowPort() = default;
  virtual void SetBusy(bool p_blnBusy) = 0;
  // True: the database path fixed at start-up. False: the template database path.
  virtual std::string DbName(bool p_blnFull = false) = 0;
  // Current text of the path box.
  virtual std::string PathBoxText() = 0;
  // The user asked to close (or interrupted) while busy. The runners look at it only
  // where no file operation is half done, and then stop the workflow.
  virtual bool CloseRequested() = 0;
  // Closes the window as at the end of a successful Start: restarts the crawler when it
  // started us, then ends.
  virtual void CloseWindow() = 0;
};

// The operations a worker runs, replaceable so the workflow steps can be tested apart
// from the database work.
struct Operations {
  std::function<void(int32_t action)> idle;
  std::function<void(Host&, const std::string& file)> repair;
  std::function<void(Host&, const std::string& file)> adv_compress;
  std::function<void(Host&, const std::string& file)> adv_repair;
  std::function<void(Host&, const std::string& file, int16_t format)> regenerate;
  std::function<void(Host&, const std::string& file, const std::string& tmpl)> adjust_structure;
  // Before a regeneration: false (after telling the user) when the template the structure
  // update needs cannot be opened.
  std::function<bool(Host&, const std::string& file, const std::string& tmpl)> template_opens;
};
// The real ones: the engine, the repair operations and the regeneration.
Operations RealOperations();

enum class Outcome {
  kDone,         // both files treated, closing message shown
  kNotFound,     // a file was missing; its not-found box was shown
  kInterrupted,  // a close request stopped the workflow between two files
};

enum class Workflow { kStart, kCompress, kRepair, kRegenerate };

// The queue database of a path: all but its last four characters, then "-Queue.mdb".
// Empty when the path is shorter than four characters (it has no queue database).
std::string QueuePath(const std::string& p);

class Runners {
 public:
  Runners(Host& host, WindowPort& window, Operations ops = RealOperations());

  // Button handlers.
  Outcome cmdCompress_Click();
  Outcome cmdACompress_Click();
  Outcome cmdARepair_Click();
  Outcome cmdARegen_Click();
  Outcome Run(Workflow w);

  // Workers: true when the file was found and the operation ran. Regenerate also needs
  // its template to open; without it nothing is changed and the worker gives false.
  bool RunRepair(const std::string& p_strFile);
  bool RunAdvCompress(const std::string& p_strFile);
  bool RunAdvRepair(const std::string& p_strFile);
  bool RunRegenerate(const std::string& p_strFile);

 private:
  bool Work(const std::string& file, const std::function<void()>& operation);
  void Flush();
  void NotFound(const std::string& file);
  std::string SourcePath(Workflow w);

  Host& host_;
  WindowPort& window_;
  Operations ops_;
};

}  // namespace tidewell
