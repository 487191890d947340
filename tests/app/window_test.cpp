// The window without a display: start-up from each command line, the busy state, the
// workflows through the window, closing, and the platform's message box.
#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <filesystem>

#include "app/frmTidewell.h"
#include "tests/support/files.h"
#include "tools/sample_data.h"

namespace tidewell {
namespace {

class WindowTest : public ::testing::Test {
 protected:
  std::unique_ptr<frmTidewell> Open(QStringList args, std::optional<Operations> ops = {}) {
    WindowOptions o;
    o.arguments = std::move(args);
    o.app_folder = QString::fromStdString(dir.path().string());
    o.current_folder = o.app_folder;
    o.message_box = [this](QWidget*, const QString& text, int style) {
      boxes += text.toStdString() + "/" + std::to_string(style) + "|";
      return vbOK;
    };
    o.start_detached = [this](const QString& program, const QString&, Qt::WindowState state) {
      started += program.toStdString() + (state == Qt::WindowMinimized ? " min|" : "|");
      return true;
    };
    o.end_process = [this] { ++ended; };
    o.operations = std::move(ops);
    return std::make_unique<frmTidewell>(std::move(o));
  }

  testing::TempDir dir;
  std::string boxes, started;  // "text/style|..." and "program min|..."
  int ended = 0;
};

// Whether the crawler is to be started again on exit, the path the window starts with
// (empty: Vardlink.mdb in the program's folder, which is also the current folder here) and
// the template Regenerate uses: beside the program when the program sits beside the
// crawler's database, else beside the database. The arguments are joined by single blanks.
TEST_F(WindowTest, TheCommandLineGivesThePathTheRelaunchAndTheTemplate) {
  const std::tuple<QStringList, bool, std::string, std::string> cases[] = {
      {{}, false, "", dir.File("Vardlink_Default.mdb")},
      {{"VL", "/data/My", "Site.mdb"}, true, "/data/My Site.mdb", "/data/Vardlink_Default.mdb"},
      // A file manager's %f: one argument, blanks and all.
      {{"VL", "/data/My  Site.mdb"}, true, "/data/My  Site.mdb", "/data/Vardlink_Default.mdb"},
      {{"VL\t\t/x.mdb"}, true, "\t/x.mdb", "\t/Vardlink_Default.mdb"},  // one separator of any kind
      // A lower-case keyword glued to a drive path loses the path's first character.
      {{"vlC:\\Data\\Vardlink.mdb"}, true, ":\\Data\\Vardlink.mdb", "Vardlink_Default.mdb"},
      {{"XL", "/data/x.mdb"}, false, "", dir.File("Vardlink_Default.mdb")},
  };
  for (const bool beside_the_crawler : {false, true}) {
    if (beside_the_crawler) testing::WriteAll(dir.File("Vardlink.mdb"), "x");
    for (const auto& [args, relaunch, path, tmpl] : cases) {
      auto w = Open(args);
      EXPECT_EQ(w->FromVardlink(), relaunch) << path;
      EXPECT_EQ(w->txtFilename->text().toStdString(),
                path.empty() ? dir.File("Vardlink.mdb") : path);
      EXPECT_EQ(w->DbName(true), w->txtFilename->text().toStdString());
      EXPECT_EQ(w->DbName(), beside_the_crawler ? dir.File("Vardlink_Default.mdb") : tmpl) << path;
    }
  }
}

TEST_F(WindowTest, BusyHidesTheRowButtonsLocksTheRestAndShowsProgress) {
  auto w = Open({});
  const std::vector<QWidget*> row = {w->cmdCompress, w->cmdExit, w->cmdAdvanced};
  const std::vector<QWidget*> rest = {w->txtFilename, w->cmdPickFile, w->cmdARepair,
                                      w->cmdACompress, w->cmdARegen};
  w->SetStatus("Repairing database");
  w->SetBusy(true);
  w->Progress("Salvaging", 1, 4);
  for (QWidget* c : row) EXPECT_TRUE(c->isHidden());
  for (QWidget* c : rest) EXPECT_FALSE(c->isEnabled());
  EXPECT_EQ(w->lblWait->text(), "Please wait ...");
  EXPECT_EQ(w->lblStatus->text(), "Repairing database (25 %)");
  w->SetBusy(false);
  for (QWidget* c : row) EXPECT_FALSE(c->isHidden());
  for (QWidget* c : rest) EXPECT_TRUE(c->isEnabled());
  EXPECT_TRUE(w->lblStatus->isHidden());
}

// Start works on the path from the command line, the advanced buttons on the path box. A
// missing file leaves the window open and idle; a finished start ends it.
TEST_F(WindowTest, StartSaysDoneThenRestartsTheCrawlerAndEndsUnlessAFileIsMissing) {
  auto w = Open({"VL"});
  w->cmdCompress->click();
  w->txtFilename->setText(QString::fromStdString(dir.File("Box.mdb")));
  w->cmdARepair->click();
  EXPECT_EQ(boxes, "Oops, the database file '" + dir.File("Vardlink.mdb") +
                       "' couldn't be found!/16|Oops, the database file '" + dir.File("Box.mdb") +
                       "' couldn't be found!/16|");
  EXPECT_EQ(started + std::to_string(ended), "0");
  sample::MakeSampleDatabase(dir.File("Vardlink.mdb"));
  sample::MakeQueueDatabase(dir.File("Vardlink-Queue.mdb"));
  w->cmdCompress->click();
  EXPECT_TRUE(boxes.ends_with("/16|Done./64|")) << boxes;
  EXPECT_EQ(started, dir.File("Vardlink.exe") + " min|");
  EXPECT_EQ(ended, 1);
  EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
  EXPECT_TRUE(std::filesystem::exists(dir.File("Vardlink.BAK")));
}

TEST_F(WindowTest, CloseDuringAnOperationWaitsForTheFileThenEnds) {
  testing::WriteAll(dir.File("Vardlink.mdb"), "x");
  testing::WriteAll(dir.File("Vardlink-Queue.mdb"), "x");
  testing::WriteAll(dir.File("Vardlink"), "#!/bin/sh\n");  // the crawler without .exe
  std::unique_ptr<frmTidewell> w;
  std::string treated;
  Operations ops;  // the flush is left out: the runners carry on without it
  ops.repair = [&](Host&, const std::string& file) {
    w->close();  // the close box, pressed while the file is being treated
    treated += file + (ended == 0 ? " (still running)" : "");
  };
  w = Open({"VL"}, ops);
  w->cmdCompress->click();
  EXPECT_EQ(treated, dir.File("Vardlink.mdb") + " (still running)");
  EXPECT_EQ(boxes, "");
  EXPECT_EQ(started, dir.File("Vardlink") + " min|");
  EXPECT_EQ(ended, 1);
}

// Esc or the close button on "Weiter machen?" once meant No, which stops the copy and lets
// the partial copy replace the database. Only the buttons answer.
TEST(QtMessageBoxTest, EscAndCloseDoNotAnswerAYesNoQuestion) {
  bool stayed_open = false;
  QTimer::singleShot(0, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    ASSERT_NE(box, nullptr);
    QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(box, &esc);
    stayed_open = box->isVisible();
    box->close();
    stayed_open = stayed_open && box->isVisible();
    box->button(QMessageBox::Yes)->click();
  });
  EXPECT_EQ(QtMessageBox(nullptr, "Weiter machen?", vbYesNo), vbYes);
  EXPECT_TRUE(stayed_open);
}

}  // namespace
}  // namespace tidewell

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");  // the window is tested without a display
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
