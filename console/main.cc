// TarvoConsole: the administrator's console for a running TarvoServer on this machine.
#include <QApplication>

#include "console/console_app.h"
#include "console/console_images.h"

int main(int argc, char* argv[]) {
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("TarvoConsole"));
  QApplication::setWindowIcon(tarvo::ConsoleIcon(tarvo::ConsoleImage::Program));
  tarvo::CTarvoConsoleApp console;
  return console.Run();
}
