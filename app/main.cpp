#include <QApplication>
#include <QTimer>
#include <cstdlib>

#include "app/frmTidewell.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Tidewell"));
  // Lets the desktop match the window to the installed entry and its icon.
  QGuiApplication::setDesktopFileName(QStringLiteral("tidewell"));

  tidewell::WindowOptions options;
  options.arguments = QCoreApplication::arguments().mid(1);
  tidewell::frmTidewell window(std::move(options));
  window.show();

  // For the documentation: TIDEWELL_SCREENSHOT=PREFIX saves the window collapsed and
  // expanded as PREFIX-collapsed.png and PREFIX-expanded.png, and busy as PREFIX-busy.png,
  // then quits.
  if (const char* prefix = std::getenv("TIDEWELL_SCREENSHOT")) {
    const QString base = QString::fromLocal8Bit(prefix);
    QTimer::singleShot(200, &window, [&window, base] {
      bool ok = window.grab().save(base + QStringLiteral("-collapsed.png"));
      window.ShowAdvanced(true);
      QCoreApplication::processEvents();
      ok = window.grab().save(base + QStringLiteral("-expanded.png")) && ok;
      window.SetStatus("Compacting database");
      window.SetBusy(true);
      ok = window.grab().save(base + QStringLiteral("-busy.png")) && ok;
      QCoreApplication::exit(ok ? 0 : 1);
    });
  }
  return app.exec();
}
