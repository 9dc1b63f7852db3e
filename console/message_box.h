// The console speaks to the administrator in message boxes and, after a failure it cannot go on
// from, ends the process. Both go through here so that tests can answer the boxes and see the
// end instead of blocking on a modal box or losing their process.
#pragma once

#include <QMessageBox>
#include <QString>
#include <functional>

namespace tarvo {

struct MessageBoxRequest {
  QWidget* owner = nullptr;
  QString text;
  QString caption;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QMessageBox::StandardButtons buttons = QMessageBox::Ok;
};

using MessageBoxFunction = std::function<QMessageBox::StandardButton(const MessageBoxRequest&)>;

// Shows a modal box and returns the button pressed.
QMessageBox::StandardButton ConsoleMessageBox(QWidget* owner, const QString& text,
                                              const QString& caption, QMessageBox::Icon icon,
                                              QMessageBox::StandardButtons buttons =
                                                  QMessageBox::Ok);

// Ends the console with status 0 at once (a failed request, the title-bar close).
void EndConsoleProcess();

// For tests: replace the box and the process end (an empty function restores the real one).
// A replaced end returns, and the caller then stops what it was doing.
void SetMessageBoxFunction(MessageBoxFunction function);
void SetEndProcessFunction(std::function<void()> function);

}  // namespace tarvo
