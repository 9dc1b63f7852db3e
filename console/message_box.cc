#include "console/message_box.h"

#include <cstdlib>

namespace tarvo {

namespace {

MessageBoxFunction& BoxOverride() {
  static MessageBoxFunction function;
  return function;
}

std::function<void()>& EndOverride() {
  static std::function<void()> function;
  return function;
}

}  // namespace

QMessageBox::StandardButton ConsoleMessageBox(QWidget* owner, const QString& text,
                                              const QString& caption, QMessageBox::Icon icon,
                                              QMessageBox::StandardButtons buttons) {
  if (BoxOverride()) return BoxOverride()({owner, text, caption, icon, buttons});
  QMessageBox box(icon, caption, text, buttons, owner);
  return static_cast<QMessageBox::StandardButton>(box.exec());
}

void EndConsoleProcess() {
  if (EndOverride()) {
    EndOverride()();
    return;
  }
  // No clean-up on purpose: the process ends here, as after a failed request nothing the
  // console holds is worth saving, and the daemon sees the closed connections.
  std::_Exit(0);
}

void SetMessageBoxFunction(MessageBoxFunction function) { BoxOverride() = std::move(function); }
void SetEndProcessFunction(std::function<void()> function) { EndOverride() = std::move(function); }

}  // namespace tarvo
