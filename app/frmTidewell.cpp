#include "app/frmTidewell.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

#include "app/startup.h"
#include "workflows/default_paths.h"
#include "workflows/modXFiles.h"

namespace tidewell {
namespace {

std::string ToPath(const QString& s) {
  return QFile::encodeName(s).toStdString();
}
QString FromPath(const std::string& s) {
  return QFile::decodeName(QByteArray::fromStdString(s));
}

void Place(QWidget* w, int left, int top, int width, int height) {
  w->setGeometry(Px(left), Px(top), Px(width), Px(height));
}

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& text) {
  auto* l = new QLabel(text, parent);
  l->setObjectName(name);
  return l;
}

QPushButton* MakeButton(QWidget* parent, const char* name, const QString& text) {
  auto* b = new QPushButton(text, parent);
  b->setObjectName(name);
  b->setAutoDefault(false);
  return b;
}

// Qt takes Esc and the close button for No. On "Weiter machen?" that No stops the copy and
// lets the partial copy replace the database, so a stray key must not give it: the question
// stays open until one of its buttons is clicked.
class OnlyButtonsAnswer : public QObject {
 public:
  explicit OnlyButtonsAnswer(QMessageBox* box) : QObject(box), box_(box) {}

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Close && box_->clickedButton() == nullptr) {
      event->ignore();
      return true;
    }
    if (event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->matches(QKeySequence::Cancel))
      return true;
    return QObject::eventFilter(watched, event);
  }

 private:
  QMessageBox* box_;
};

}  // namespace

int QtMessageBox(QWidget* parent, const QString& text, int style) {
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  switch (style & 0x70) {
    case 16:
      icon = QMessageBox::Critical;
      break;
    case 32:
      icon = QMessageBox::Question;
      break;
    case 48:
      icon = QMessageBox::Warning;
      break;
    case 64:
      icon = QMessageBox::Information;
      break;
    default:
      break;
  }
  const bool question = (style & 0x7) == vbYesNo;
  // Our texts break lines with CR LF; a label would show the CR as a glyph.
  QString shown = text;
  shown.replace(QLatin1String("\r\n"), QLatin1String("\n"));
  QMessageBox box(icon, QStringLiteral("Tidewell"), shown,
                  question ? (QMessageBox::Yes | QMessageBox::No) : QMessageBox::Ok, parent);
  box.setTextFormat(Qt::PlainText);
  box.setWindowModality(Qt::ApplicationModal);
  if (question) box.installEventFilter(new OnlyButtonsAnswer(&box));
  const int r = box.exec();
  if (!question) return vbOK;
  return r == QMessageBox::Yes ? vbYes : vbNo;
}

namespace {

// Starts the crawler as a separate process with its first window minimized and active.
// Only Windows lets the starter choose that (through the start-up information of the new
// process). X11 and Wayland leave a window's first state to the program and the window
// manager, so there the crawler opens as it always does.
bool StartDetached(const QString& program, const QString& folder, Qt::WindowState state) {
  QProcess process;
  process.setProgram(program);
  process.setWorkingDirectory(folder);
#ifdef Q_OS_WIN
  if (state == Qt::WindowMinimized)
    process.setCreateProcessArgumentsModifier([](QProcess::CreateProcessArguments* a) {
      a->startupInfo->dwFlags |= STARTF_USESHOWWINDOW;
      a->startupInfo->wShowWindow = SW_SHOWMINIMIZED;
    });
#else
  (void)state;
#endif
  return process.startDetached();
}

}  // namespace

WindowOptions PlatformOptions(WindowOptions options) {
  if (options.app_folder.isEmpty()) options.app_folder = QCoreApplication::applicationDirPath();
  if (options.current_folder.isEmpty())
    options.current_folder = QString::fromStdString(CurrentFolder());
  if (!options.pick_file) {
    options.pick_file = [](QWidget* parent, const QString& initial,
                           const QString& filter) -> std::optional<QString> {
      const QString chosen = QFileDialog::getOpenFileName(
          parent, QString(), initial, filter, nullptr, QFileDialog::HideNameFilterDetails);
      if (chosen.isEmpty()) return std::nullopt;
      return chosen;
    };
  }
  if (!options.message_box) options.message_box = QtMessageBox;
  if (!options.start_detached) options.start_detached = StartDetached;
  if (!options.end_process) options.end_process = [] { QCoreApplication::exit(0); };
  return options;
}

frmTidewell::frmTidewell(WindowOptions options, QWidget* parent)
    : QWidget(parent),
      options_(PlatformOptions(std::move(options))),
      runners_(*this, *this, options_.operations ? *options_.operations : RealOperations()) {
  setWindowTitle(QStringLiteral("Compress Vardlink Database"));
  BuildControls();
  Form_Load();
}

frmTidewell::~frmTidewell() = default;

void frmTidewell::BuildControls() {
  // The form's fonts were laid out for an 8 pt system font; pixel sizes keep the texts
  // inside their boxes whatever the desktop's default is.
  QFont base = font();
  base.setPixelSize(11);
  setFont(base);
  QFont big = base;
  big.setPointSizeF(13.5);
  big.setBold(true);

  lblInfo = MakeLabel(this, "lblInfo", {});
  lblInfo->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  lblInfo->setWordWrap(true);
  Place(lblInfo, 180, 240, 4215, 1755);

  lblWait = MakeLabel(this, "lblWait", {});
  lblWait->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  lblWait->setFont(big);
  lblWait->hide();
  Place(lblWait, 180, 1980, 4275, 495);

  cmdCompress = MakeButton(this, "cmdCompress", QStringLiteral("&Start"));
  Place(cmdCompress, 180, 2460, 1215, 435);
  cmdAdvanced = MakeButton(this, "cmdAdvanced", QStringLiteral("v v"));
  cmdAdvanced->setToolTip(QStringLiteral("Show advanced options"));
  Place(cmdAdvanced, 1380, 2460, 315, 435);
  cmdExit = MakeButton(this, "cmdExit", QStringLiteral("Exit"));
  Place(cmdExit, 3000, 2460, 1515, 435);

  lblStatus = MakeLabel(this, "lblStatus", {});
  lblStatus->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  lblStatus->setFont(big);
  lblStatus->hide();
  Place(lblStatus, 180, 2520, 4275, 495);

  Label2 = MakeLabel(this, "Label2", QStringLiteral("Database file name:"));
  Place(Label2, 180, 3240, 1875, 255);
  txtFilename = new QLineEdit(this);
  txtFilename->setObjectName("txtFilename");
  Place(txtFilename, 180, 3480, 4035, 315);
  cmdPickFile = MakeButton(this, "cmdPickFile", QStringLiteral("..."));
  Place(cmdPickFile, 4200, 3480, 315, 315);

  cmdARepair = MakeButton(this, "cmdARepair", QStringLiteral("Repair"));
  Place(cmdARepair, 180, 3960, 1215, 435);
  cmdACompress = MakeButton(this, "cmdACompress", QStringLiteral("Compress"));
  Place(cmdACompress, 180, 4680, 1215, 435);
  cmdARegen = MakeButton(this, "cmdARegen", QStringLiteral("Regenerate"));
  Place(cmdARegen, 180, 5400, 1215, 435);

  const char* descriptions[3] = {
      "Repairs broken databases, can not be used for databases at maximum size.",
      "Compresses databases removing unused space to make more room.",
      "Copies the content of the old file into a new database. Can sometimes save broken "
      "databases."};
  const int tops[3] = {3960, 4680, 5400};
  for (int i = 0; i < 3; ++i) {
    Label1[i] = MakeLabel(this, "Label1", QString::fromLatin1(descriptions[i]));
    Label1[i]->setProperty("Index", i);
    Label1[i]->setWordWrap(true);
    Label1[i]->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Place(Label1[i], 1560, tops[i], 3015, 735);
  }

  // Tab order of the form; labels take no focus, so only the controls that do are chained.
  QWidget* order[] = {cmdCompress,  cmdExit,     cmdAdvanced, cmdARepair,
                      cmdACompress, txtFilename, cmdARegen,   cmdPickFile};
  for (size_t i = 0; i + 1 < std::size(order); ++i) setTabOrder(order[i], order[i + 1]);

  connect(cmdCompress, &QPushButton::clicked, this, [this] { cmdCompress_Click(); });
  connect(cmdAdvanced, &QPushButton::clicked, this, [this] { cmdAdvanced_Click(); });
  connect(cmdExit, &QPushButton::clicked, this, [this] { cmdExit_Click(); });
  connect(cmdPickFile, &QPushButton::clicked, this, [this] { cmdPickFile_Click(); });
  connect(cmdARepair, &QPushButton::clicked, this, [this] { cmdARepair_Click(); });
  connect(cmdACompress, &QPushButton::clicked, this, [this] { cmdACompress_Click(); });
  connect(cmdARegen, &QPushButton::clicked, this, [this] { cmdARegen_Click(); });
}

void frmTidewell::Form_Load() {
  lblInfo->setText(QStringLiteral(
      "With this function your database will be checked for errors and compressed. "
      "By compressing the database it will discard all unneeded space. "
      "Generally it will also speed up the database access. "
      "\r\n\r\n"
      "You can only use this function when the Vardlink is shut down. "
      "This function will take several minutes or longer, depending on the size of your "
      "database. "));

  const StartupCommand command =
      ParseStartupCommand(options_.arguments.join(QLatin1Char(' ')).toStdString());
  m_blnFromVardlink = command.from_vardlink;
  m_strDbName = command.db_name;

  if (m_strDbName.empty())
    m_strDbName = DefaultDatabase(ToPath(options_.app_folder), ToPath(options_.current_folder));
  txtFilename->setText(FromPath(DbName(true)));

  lblWait->clear();
  lblStatus->clear();
  m_strStatus.clear();

  ShowAdvanced(false);
}

std::string frmTidewell::DbName(bool p_blnFull) {
  if (p_blnFull) return m_strDbName;
  // Beside the file about to be regenerated, where the program does not sit beside the
  // crawler: the advanced buttons work on the path box.
  return DefaultTemplate(ToPath(options_.app_folder), PathBoxText());
}

std::string frmTidewell::PathBoxText() {
  return ToPath(txtFilename->text());
}

void frmTidewell::SetBusy(bool p_blnBusy) {
  m_blnBusy = p_blnBusy;
  cmdCompress->setEnabled(!p_blnBusy);
  cmdExit->setEnabled(!p_blnBusy);
  cmdCompress->setVisible(!p_blnBusy);
  cmdExit->setVisible(!p_blnBusy);
  cmdAdvanced->setVisible(!p_blnBusy);
  txtFilename->setEnabled(!p_blnBusy);
  cmdPickFile->setEnabled(!p_blnBusy);
  cmdARepair->setEnabled(!p_blnBusy);
  cmdACompress->setEnabled(!p_blnBusy);
  cmdARegen->setEnabled(!p_blnBusy);
  lblWait->setText(QStringLiteral("Please wait ..."));
  lblWait->setVisible(p_blnBusy);
  lblStatus->setVisible(p_blnBusy);
  DoEvents();
}

void frmTidewell::ShowAdvanced(bool p_blnShow) {
  const int outer = p_blnShow ? kExpandedTwips : kCollapsedTwips;
  setFixedSize(Px(4680), Px(outer - kFrameTwips));
  m_blnAdvanced = p_blnShow;
  cmdAdvanced->setText(p_blnShow ? QStringLiteral("^ ^") : QStringLiteral("v v"));
}

int frmTidewell::OuterHeightTwips() const {
  return height() * 15 + kFrameTwips;
}

void frmTidewell::cmdAdvanced_Click() {
  ShowAdvanced(!m_blnAdvanced);
}

void frmTidewell::cmdPickFile_Click() {
  const std::optional<QString> chosen =
      options_.pick_file(this, txtFilename->text(), QStringLiteral("*.mdb (*.mdb)"));
  if (chosen && !chosen->isEmpty()) txtFilename->setText(*chosen);
}

void frmTidewell::cmdExit_Click() {
  close();
}

void frmTidewell::cmdCompress_Click() {
  runners_.cmdCompress_Click();
  AfterWorkflow();
}
void frmTidewell::cmdACompress_Click() {
  runners_.cmdACompress_Click();
  AfterWorkflow();
}
void frmTidewell::cmdARepair_Click() {
  runners_.cmdARepair_Click();
  AfterWorkflow();
}
void frmTidewell::cmdARegen_Click() {
  runners_.cmdARegen_Click();
  AfterWorkflow();
}

// A close asked for during the workflow is carried out now that no file is being worked on.
void frmTidewell::AfterWorkflow() {
  if (!m_blnCloseRequested || m_blnClosing) return;
  m_blnCloseRequested = false;
  CloseWindow();
}

void frmTidewell::CloseWindow() {
  m_blnClosing = true;
  close();
}

void frmTidewell::closeEvent(QCloseEvent* event) {
  if (m_blnBusy && !m_blnClosing) {
    // Never stop a file operation halfway: the workflow stops at its next safe point
    // (after the file it is treating) and the window closes then.
    m_blnCloseRequested = true;
    event->ignore();
    return;
  }
  m_blnClosing = true;
  event->accept();
  Form_QueryUnload();
}

QString frmTidewell::CrawlerPath() const {
  const QString exe = FromPath(JoinPath(ToPath(options_.app_folder), "Vardlink.exe"));
  const QString plain = FromPath(JoinPath(ToPath(options_.app_folder), "Vardlink"));
  if (!QFileInfo::exists(exe) && QFileInfo(plain).isFile()) return plain;
  return exe;
}

void frmTidewell::Form_QueryUnload() {
  if (m_blnFromVardlink) {
    // A crawler that will not start is no reason to keep the tool open.
    options_.start_detached(CrawlerPath(), options_.app_folder, Qt::WindowMinimized);
    DoEvents();
  }
  options_.end_process();
}

int frmTidewell::MsgBox(std::string_view text, int style, int) {
  return options_.message_box(this, QString::fromUtf8(text.data(), qsizetype(text.size())), style);
}

void frmTidewell::SetStatus(std::string_view caption) {
  m_strStatus = std::string(caption);
  ShowStatus();
}

void frmTidewell::ShowStatus() {
  lblStatus->setText(QString::fromStdString(m_strStatus));
}

void frmTidewell::Progress(std::string_view, uint64_t done, uint64_t total) {
  // Progress goes into the status line after the operation's own caption; an operation
  // that sets none (the regeneration) keeps the line as it is.
  if (m_strStatus.empty()) return;
  if (total == 0) {
    ShowStatus();
    return;
  }
  const int percent = static_cast<int>(std::min<uint64_t>(done, total) * 100 / total);
  lblStatus->setText(QString::fromStdString(m_strStatus) + QStringLiteral(" (%1 %)").arg(percent));
  // Paint the figure now: between the operation's own yields no events run, and letting
  // them run here would let input in at points the workflow does not expect.
  if (lblStatus->isVisible()) lblStatus->repaint();
}

void frmTidewell::DoEvents() {
  QCoreApplication::processEvents();
}

void frmTidewell::SetPointer(int pointer) {
  if (pointer == vbHourglass) {
    if (QGuiApplication::overrideCursor())
      QGuiApplication::changeOverrideCursor(Qt::WaitCursor);
    else
      QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    return;
  }
  while (QGuiApplication::overrideCursor()) QGuiApplication::restoreOverrideCursor();
}

}  // namespace tidewell
