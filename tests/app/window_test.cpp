// The window without a display: start-up from each command line, the toggle, the busy
// state, the picker, closing, and the layout.
#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <filesystem>
#include <memory>

#include "app/frmTidewell.h"
#include "app/startup.h"
#include "tests/support/files.h"
#include "tools/sample_data.h"

namespace tidewell {
namespace {

using testing::TempDir;
using testing::WriteAll;

struct Recorded {
  std::vector<std::pair<QString, int>> boxes;
  std::vector<QString> started;
  Qt::WindowState started_state = Qt::WindowNoState;
  int ended = 0;
  QString picker_initial;
  QString picker_filter;
  std::optional<QString> picker_result;
};

class WindowTest : public ::testing::Test {
 protected:
  std::unique_ptr<frmTidewell> Open(QStringList args, std::optional<Operations> ops = {}) {
    WindowOptions o;
    o.arguments = std::move(args);
    o.app_folder = QString::fromStdString(dir.path().string());
    o.message_box = [this](QWidget*, const QString& text, int style) {
      rec.boxes.emplace_back(text, style);
      return vbOK;
    };
    o.start_detached = [this](const QString& program, const QString&, Qt::WindowState state) {
      rec.started.push_back(program);
      rec.started_state = state;
      return true;
    };
    o.end_process = [this] { ++rec.ended; };
    o.pick_file = [this](QWidget*, const QString& initial, const QString& filter) {
      rec.picker_initial = initial;
      rec.picker_filter = filter;
      return rec.picker_result;
    };
    o.operations = std::move(ops);
    return std::make_unique<frmTidewell>(std::move(o));
  }

  std::string Folder(const std::string& name) const { return dir.File(name); }

  TempDir dir;
  Recorded rec;
};

// --- Start-up --------------------------------------------------------------------------

// The command line, whether the crawler is to be started again on exit, and the path the
// window starts with (empty: Vardlink.mdb in the program's folder).
TEST_F(WindowTest, TheCommandLineGivesThePathAndTheRelaunch) {
  const struct {
    QStringList args;
    bool relaunch;
    QString path;
  } cases[] = {
      {{}, false, ""},
      {{"VL"}, true, ""},
      {{"VL", "/data/crawl/Site.mdb"}, true, "/data/crawl/Site.mdb"},
      {{"VL", "/data/My", "Site.mdb"}, true, "/data/My Site.mdb"},  // joined by single blanks
      {{"VL", "   ", " "}, true, ""},
      // A lower-case keyword glued to a drive path loses the path's first character.
      {{"vlC:\\Data\\Vardlink.mdb"}, true, ":\\Data\\Vardlink.mdb"},
      {{"XL", "/data/x.mdb"}, false, ""},
      {{"/data/VL.mdb"}, false, ""},
      {{"V"}, false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.join('|').toStdString());
    auto w = Open(c.args);
    EXPECT_EQ(w->FromVardlink(), c.relaunch);
    const std::string path = c.path.isEmpty() ? Folder("Vardlink.mdb") : c.path.toStdString();
    EXPECT_EQ(w->DbName(true), path);
    EXPECT_EQ(w->txtFilename->text().toStdString(), path);
    EXPECT_EQ(w->DbName(), Folder("Vardlink_Default.mdb"));  // the template, whatever the line
  }
}

TEST_F(WindowTest, ExitWithoutTheKeywordDoesNotRestartTheCrawler) {
  auto w = Open({});
  w->cmdExit_Click();
  EXPECT_TRUE(rec.started.empty());
  EXPECT_EQ(rec.ended, 1);
}

TEST(StartupCommandTest, QuotesAndInnerBlanksStay) {
  EXPECT_EQ(ParseStartupCommand("VL \"/a b.mdb\"").db_name, "\"/a b.mdb\"");
  EXPECT_EQ(ParseStartupCommand("VL   /x.mdb  ").db_name, "/x.mdb");
  EXPECT_EQ(ParseStartupCommand("VL\t/x.mdb").db_name, "/x.mdb");
  EXPECT_EQ(ParseStartupCommand("VL\t\t/x.mdb").db_name, "\t/x.mdb");
  EXPECT_EQ(ParseStartupCommand("VL\u00a0/x.mdb").db_name, "/x.mdb");  // a two-byte separator
  EXPECT_FALSE(ParseStartupCommand("").from_vardlink);
}

TEST_F(WindowTest, StartsCollapsedIdleWithItsTexts) {
  auto w = Open({});
  EXPECT_EQ(w->windowTitle(), "Compress Vardlink Database");
  EXPECT_EQ(w->lblInfo->text(),
            "With this function your database will be checked for errors and compressed. By "
            "compressing the database it will discard all unneeded space. Generally it will "
            "also speed up the database access. \r\n\r\nYou can only use this function when the "
            "Vardlink is shut down. This function will take several minutes or longer, "
            "depending on the size of your database. ");
  EXPECT_TRUE(w->lblWait->text().isEmpty());
  EXPECT_TRUE(w->lblStatus->text().isEmpty());
  EXPECT_TRUE(w->lblWait->isHidden());
  EXPECT_TRUE(w->lblStatus->isHidden());
  EXPECT_FALSE(w->Advanced());
  EXPECT_EQ(w->OuterHeightTwips(), 3465);
  EXPECT_EQ(w->cmdAdvanced->text(), "v v");
  EXPECT_EQ(w->cmdCompress->text(), "&Start");
  EXPECT_EQ(w->cmdAdvanced->toolTip(), "Show advanced options");
}

// --- Toggle, path box, picker ----------------------------------------------------------

TEST_F(WindowTest, ToggleTwiceReturnsToCollapsed) {
  auto w = Open({});
  w->cmdAdvanced->click();
  EXPECT_TRUE(w->Advanced());
  EXPECT_EQ(w->OuterHeightTwips(), 6660);
  EXPECT_EQ(w->cmdAdvanced->text(), "^ ^");
  w->cmdAdvanced->click();
  EXPECT_FALSE(w->Advanced());
  EXPECT_EQ(w->OuterHeightTwips(), 3465);
  EXPECT_EQ(w->cmdAdvanced->text(), "v v");
  EXPECT_EQ(w->width(), 312);
}

TEST_F(WindowTest, PickerCancelChangesNothing) {
  auto w = Open({});
  w->txtFilename->setText("/typed/by/hand.mdb");
  rec.picker_result.reset();
  w->cmdPickFile->click();
  EXPECT_EQ(rec.picker_initial, "/typed/by/hand.mdb");
  EXPECT_TRUE(rec.picker_filter.startsWith("*.mdb"));
  EXPECT_EQ(w->txtFilename->text(), "/typed/by/hand.mdb");
  EXPECT_TRUE(rec.boxes.empty());
}

TEST_F(WindowTest, PickerChoiceFillsThePathBoxOnly) {
  auto w = Open({"VL", "/data/Site.mdb"});
  rec.picker_result = QString("/chosen/Site.mdb");
  w->cmdPickFile->click();
  EXPECT_EQ(w->PathBoxText(), "/chosen/Site.mdb");
  EXPECT_EQ(w->DbName(true), "/data/Site.mdb");
}

// --- Busy state ------------------------------------------------------------------------

TEST_F(WindowTest, BusyHidesRowButtonsAndDisablesTheAdvancedArea) {
  auto w = Open({});
  w->SetStatus("Compacting database");
  w->SetBusy(true);
  EXPECT_TRUE(w->cmdCompress->isHidden());
  EXPECT_FALSE(w->cmdCompress->isEnabled());
  EXPECT_TRUE(w->cmdExit->isHidden());
  EXPECT_FALSE(w->cmdExit->isEnabled());
  EXPECT_TRUE(w->cmdAdvanced->isHidden());
  EXPECT_FALSE(w->txtFilename->isEnabled());
  EXPECT_FALSE(w->txtFilename->isHidden());
  EXPECT_FALSE(w->cmdPickFile->isEnabled());
  EXPECT_FALSE(w->cmdARepair->isEnabled());
  EXPECT_FALSE(w->cmdACompress->isEnabled());
  EXPECT_FALSE(w->cmdARegen->isEnabled());
  EXPECT_FALSE(w->cmdARegen->isHidden());
  EXPECT_FALSE(w->lblWait->isHidden());
  EXPECT_EQ(w->lblWait->text(), "Please wait ...");
  EXPECT_FALSE(w->lblStatus->isHidden());
  EXPECT_EQ(w->lblStatus->text(), "Compacting database");

  w->SetBusy(false);
  for (QWidget* c : {static_cast<QWidget*>(w->cmdCompress), static_cast<QWidget*>(w->cmdExit),
                     static_cast<QWidget*>(w->cmdAdvanced)}) {
    EXPECT_FALSE(c->isHidden());
    EXPECT_TRUE(c->isEnabled());
  }
  for (QWidget* c : {static_cast<QWidget*>(w->txtFilename), static_cast<QWidget*>(w->cmdPickFile),
                     static_cast<QWidget*>(w->cmdARepair), static_cast<QWidget*>(w->cmdACompress),
                     static_cast<QWidget*>(w->cmdARegen)})
    EXPECT_TRUE(c->isEnabled());
  EXPECT_TRUE(w->lblWait->isHidden());
  EXPECT_TRUE(w->lblStatus->isHidden());
  // Leaving busy keeps the last caption for the next time it shows.
  EXPECT_EQ(w->lblStatus->text(), "Compacting database");
}

TEST_F(WindowTest, ProgressShowsAfterTheCaption) {
  auto w = Open({});
  w->SetStatus("Repairing database");
  w->Progress("Salvaging", 1, 4);
  EXPECT_EQ(w->lblStatus->text(), "Repairing database (25 %)");
  w->SetStatus("Checking database");
  EXPECT_EQ(w->lblStatus->text(), "Checking database");
}

TEST_F(WindowTest, PointerIsTheWaitCursorWhileTreatingAFile) {
  auto w = Open({});
  w->SetPointer(vbHourglass);
  ASSERT_NE(QGuiApplication::overrideCursor(), nullptr);
  EXPECT_EQ(QGuiApplication::overrideCursor()->shape(), Qt::WaitCursor);
  w->SetPointer(vbHourglass);
  w->SetPointer(vbDefault);
  EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

// --- Workflows through the window ------------------------------------------------------

Operations Recording(std::vector<std::string>& treated,
                     std::function<void(const std::string&)> during = {}) {
  Operations ops;
  ops.idle = [](int32_t) {};
  auto op = [&treated, during](Host&, const std::string& file) {
    treated.push_back(file);
    if (during) during(file);
  };
  ops.repair = op;
  ops.adv_compress = op;
  ops.adv_repair = op;
  ops.regenerate = [op](Host& h, const std::string& f, int16_t) { op(h, f); };
  ops.adjust_structure = [](Host&, const std::string&, const std::string&) {};
  return ops;
}

TEST_F(WindowTest, StartOnMissingDefaultDatabaseStaysOpenAndIdle) {
  std::vector<std::string> treated;
  auto w = Open({"VL"}, Recording(treated));
  w->cmdCompress->click();
  ASSERT_EQ(rec.boxes.size(), 1u);
  EXPECT_EQ(rec.boxes[0].first.toStdString(),
            "Oops, the database file '" + Folder("Vardlink.mdb") + "' couldn't be found!");
  EXPECT_EQ(rec.boxes[0].second, vbCritical);
  EXPECT_FALSE(w->Busy());
  EXPECT_FALSE(w->cmdCompress->isHidden());
  EXPECT_TRUE(rec.started.empty());
  EXPECT_EQ(rec.ended, 0);
}

TEST_F(WindowTest, SuccessfulStartSaysDoneThenRestartsCrawlerAndEnds) {
  WriteAll(Folder("Vardlink.mdb"), "x");
  WriteAll(Folder("Vardlink-Queue.mdb"), "x");
  std::vector<std::string> treated;
  bool busy_inside = false;
  std::unique_ptr<frmTidewell> w;
  w = Open({"VL"}, Recording(treated, [&](const std::string&) {
             busy_inside = w->cmdCompress->isHidden() && !w->lblWait->isHidden();
           }));
  w->cmdCompress->click();
  EXPECT_TRUE(busy_inside);
  EXPECT_EQ(treated.size(), 2u);
  ASSERT_EQ(rec.boxes.size(), 1u);
  EXPECT_EQ(rec.boxes[0].first, "Done.");
  EXPECT_EQ(rec.boxes[0].second, vbInformation);
  ASSERT_EQ(rec.started.size(), 1u);
  EXPECT_EQ(rec.started[0].toStdString(), Folder("Vardlink.exe"));
  EXPECT_EQ(rec.started_state, Qt::WindowMinimized);
  EXPECT_EQ(rec.ended, 1);
}

// Esc or the close button on "Weiter machen?" once meant No, which stops the copy and lets the
// partial copy replace the database. Only the buttons answer.
TEST(QtMessageBoxTest, EscAndCloseDoNotAnswerAYesNoQuestion) {
  bool open_after_esc = false, open_after_close = false;
  QTimer::singleShot(0, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    ASSERT_NE(box, nullptr);
    QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(box, &esc);
    open_after_esc = box->isVisible();
    box->close();
    open_after_close = box->isVisible();
    if (open_after_close) box->button(QMessageBox::Yes)->click();
  });
  EXPECT_EQ(QtMessageBox(nullptr, "Weiter machen?", vbYesNo), vbYes);
  EXPECT_TRUE(open_after_esc);
  EXPECT_TRUE(open_after_close);
}

TEST_F(WindowTest, AdvancedButtonUsesPathBoxAndReturnsToIdle) {
  WriteAll(Folder("Box.mdb"), "x");
  WriteAll(Folder("Box-Queue.mdb"), "x");
  std::vector<std::string> treated;
  auto w = Open({}, Recording(treated));
  w->ShowAdvanced(true);
  w->txtFilename->setText(QString::fromStdString(Folder("Box.mdb")));
  w->cmdARepair->click();
  EXPECT_EQ(treated, (std::vector<std::string>{Folder("Box.mdb"), Folder("Box-Queue.mdb")}));
  ASSERT_EQ(rec.boxes.size(), 1u);
  EXPECT_EQ(rec.boxes[0].first, "Done with repair.");
  EXPECT_FALSE(w->Busy());
  EXPECT_EQ(rec.ended, 0);
}

TEST_F(WindowTest, CloseDuringAnOperationWaitsForTheFileThenEnds) {
  WriteAll(Folder("Vardlink.mdb"), "x");
  WriteAll(Folder("Vardlink-Queue.mdb"), "x");
  std::vector<std::string> treated;
  int ended_during = -1;
  std::unique_ptr<frmTidewell> w;
  w = Open({"VL"}, Recording(treated, [&](const std::string&) {
             w->close();  // the close box, pressed while the file is being treated
             ended_during = rec.ended;
           }));
  w->cmdCompress->click();
  EXPECT_EQ(ended_during, 0);
  EXPECT_EQ(treated, (std::vector<std::string>{Folder("Vardlink.mdb")}));
  EXPECT_TRUE(rec.boxes.empty());
  EXPECT_EQ(rec.ended, 1);
  EXPECT_EQ(rec.started.size(), 1u);
}

TEST_F(WindowTest, StartOnTheSampleRunsTheRealPipelineThroughTheWindow) {
  sample::MakeSampleDatabase(Folder("Vardlink.mdb"));
  sample::MakeQueueDatabase(Folder("Vardlink-Queue.mdb"));
  auto w = Open({"VL"});
  w->cmdCompress->click();
  ASSERT_FALSE(rec.boxes.empty());
  EXPECT_EQ(rec.boxes.back().first, "Done.");
  EXPECT_EQ(w->lblStatus->text(), "Checking database");
  EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
  EXPECT_EQ(rec.started.size(), 1u);
  EXPECT_EQ(rec.ended, 1);
  EXPECT_TRUE(std::filesystem::exists(Folder("Vardlink.BAK")));
}

// --- Closing ---------------------------------------------------------------------------

TEST_F(WindowTest, CrawlerWithoutExeSuffixIsStartedWhereOnlyThatExists) {
  WriteAll(Folder("Vardlink"), "#!/bin/sh\n");
  auto w = Open({"VL"});
  w->close();
  ASSERT_EQ(rec.started.size(), 1u);
  EXPECT_EQ(rec.started[0].toStdString(), Folder("Vardlink"));
  EXPECT_EQ(rec.ended, 1);
}

TEST_F(WindowTest, CrawlerThatWillNotStartStillEnds) {
  WindowOptions o;
  o.arguments = {"VL"};
  o.app_folder = QString::fromStdString(dir.path().string());
  int ended = 0;
  o.end_process = [&] { ++ended; };
  frmTidewell w(o);  // the real starter: Vardlink.exe does not exist here
  w.cmdExit->click();
  EXPECT_EQ(ended, 1);
}

// --- Layout ----------------------------------------------------------------------------

TEST_F(WindowTest, ControlsSitWhereTheFormPutsThem) {
  auto w = Open({});
  EXPECT_EQ(w->lblInfo->geometry(), QRect(12, 16, 281, 117));
  EXPECT_EQ(w->cmdCompress->geometry(), QRect(12, 164, 81, 29));
  EXPECT_EQ(w->cmdAdvanced->geometry(), QRect(92, 164, 21, 29));
  EXPECT_EQ(w->cmdExit->geometry(), QRect(200, 164, 101, 29));
  EXPECT_EQ(w->lblStatus->geometry(), QRect(12, 168, 285, 33));
  EXPECT_EQ(w->txtFilename->geometry(), QRect(12, 232, 269, 21));
  EXPECT_EQ(w->cmdPickFile->geometry(), QRect(280, 232, 21, 21));
  EXPECT_EQ(w->Label1[2]->geometry(), QRect(104, 360, 201, 49));
  EXPECT_EQ(w->Label1[1]->text(), "Compresses databases removing unused space to make more room.");
  EXPECT_TRUE(w->lblWait->font().bold());
  EXPECT_DOUBLE_EQ(w->lblStatus->font().pointSizeF(), 13.5);
  // The advanced area lies below the collapsed window and inside the expanded one.
  EXPECT_GE(w->Label2->y(), w->height());
  w->ShowAdvanced(true);
  EXPECT_LE(w->Label1[2]->geometry().bottom(), w->height());
}

TEST_F(WindowTest, TabOrderFollowsTheForm) {
  auto w = Open({});
  std::vector<QWidget*> chain;
  QWidget* at = w->cmdCompress;
  for (int i = 0; i < 8; ++i) {
    chain.push_back(at);
    do {
      at = at->nextInFocusChain();
    } while (at->focusPolicy() == Qt::NoFocus || at == w.get());
  }
  const std::vector<QWidget*> expected = {w->cmdCompress, w->cmdExit,      w->cmdAdvanced,
                                          w->cmdARepair,  w->cmdACompress, w->txtFilename,
                                          w->cmdARegen,   w->cmdPickFile};
  EXPECT_EQ(chain, expected);
  EXPECT_EQ(at, w->cmdCompress);
}

}  // namespace
}  // namespace tidewell
