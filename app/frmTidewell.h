// The one window of Tidewell. It owns the two paths every workflow starts from, the busy
// state, the advanced area and the way the tool ends; it is also the host the operations
// report to and the port the shared runners drive.
#pragma once

#include <QWidget>
#include <array>
#include <functional>
#include <optional>
#include <string>

#include "maintenance/host.h"
#include "workflows/runners.h"

class QLabel;
class QLineEdit;
class QPushButton;

namespace tidewell {

// Everything the window takes from the platform, replaceable for tests.
struct WindowOptions {
  QStringList arguments;   // the command line after the program name
  QString app_folder;      // folder of the executable, no trailing separator
  QString current_folder;  // the working folder, where an installed program finds the files
  // Returns the chosen path, or nothing when the user cancelled.
  std::function<std::optional<QString>(QWidget* parent, const QString& initial,
                                       const QString& filter)>
      pick_file;
  // Shows a modal box and returns the answer (vbOK, vbYes, vbNo).
  std::function<int(QWidget* parent, const QString& text, int style)> message_box;
  // Starts a program without waiting for it, asking for its first window in `state` where
  // the platform lets a starter choose that; false when it could not be started.
  std::function<bool(const QString& program, const QString& folder, Qt::WindowState state)>
      start_detached;
  // Ends the process (the event loop) once the window is closed.
  std::function<void()> end_process;
  std::optional<Operations> operations;
};

// Fills in the platform's own behaviour for whatever `options` leaves empty.
WindowOptions PlatformOptions(WindowOptions options);

// The platform's message box behind WindowOptions::message_box. A Yes/No question is
// answered only with one of its two buttons: Esc and the window's close button do nothing.
int QtMessageBox(QWidget* parent, const QString& text, int style);

// Twips to pixels: 15 twips are one pixel.
constexpr int Px(int twips) {
  return twips / 15;
}
// Outer heights of the window, title bar and frame included.
inline constexpr int kCollapsedTwips = 3465;
inline constexpr int kExpandedTwips = 6660;
// What we allow for the title bar and the frame that the window system draws around the
// client area (25 px title, 3 px frame top and bottom).
inline constexpr int kFrameTwips = 465;

class frmTidewell : public QWidget, public WindowPort, public Host {
  Q_OBJECT

 public:
  explicit frmTidewell(WindowOptions options, QWidget* parent = nullptr);
  ~frmTidewell() override;

  // The window's own interface.
  std::string DbName(bool p_blnFull = false) override;
  void SetBusy(bool p_blnBusy) override;
  void ShowAdvanced(bool p_blnShow);
  void cmdAdvanced_Click();
  void cmdPickFile_Click();
  void cmdExit_Click();
  void cmdCompress_Click();
  void cmdACompress_Click();
  void cmdARepair_Click();
  void cmdARegen_Click();

  // WindowPort.
  std::string PathBoxText() override;
  bool CloseRequested() override { return m_blnCloseRequested; }
  void CloseWindow() override;

  // Host.
  int MsgBox(std::string_view text, int style, int safe_answer = vbOK) override;
  void SetStatus(std::string_view caption) override;
  void DoEvents() override;
  void SetPointer(int pointer) override;
  void Progress(std::string_view stage, uint64_t done, uint64_t total) override;

  bool FromVardlink() const { return m_blnFromVardlink; }
  bool Advanced() const { return m_blnAdvanced; }
  bool Busy() const { return m_blnBusy; }
  // The outer height the window stands for, in twips.
  int OuterHeightTwips() const;
  // The crawler program closing would start.
  QString CrawlerPath() const;

  // The controls, named as in the form.
  QLabel* lblInfo;
  QLabel* lblWait;
  QPushButton* cmdCompress;
  QPushButton* cmdAdvanced;
  QPushButton* cmdExit;
  QLabel* lblStatus;
  QLabel* Label2;
  QLineEdit* txtFilename;
  QPushButton* cmdPickFile;
  QPushButton* cmdARepair;
  QPushButton* cmdACompress;
  QPushButton* cmdARegen;
  std::array<QLabel*, 3> Label1;

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void Form_Load();
  void Form_QueryUnload();
  void BuildControls();
  void AfterWorkflow();
  void ShowStatus();

  WindowOptions options_;
  Runners runners_;
  bool m_blnFromVardlink = false;
  std::string m_strDbName;
  bool m_blnAdvanced = false;
  bool m_blnBusy = false;
  bool m_blnCloseRequested = false;
  bool m_blnClosing = false;
  std::string m_strStatus;
};

}  // namespace tidewell
