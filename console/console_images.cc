#include "console/console_images.h"

#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>
#include <mutex>

// The images live in a static library, whose resources are not registered on their own.
static void RegisterConsoleImages() { Q_INIT_RESOURCE(console_icons); }

namespace tarvo {

namespace {

const char* ResourceName(ConsoleImage image) {
  switch (image) {
    case ConsoleImage::Program: return ":/icons/program.svg";
    case ConsoleImage::UsersPage: return ":/icons/users.svg";
    case ConsoleImage::ConnectedPage: return ":/icons/connected.svg";
    case ConsoleImage::SettingsPage: return ":/icons/settings.svg";
    case ConsoleImage::Emblem: return ":/icons/emblem.svg";
    case ConsoleImage::None: return nullptr;
    case ConsoleImage::Padlock: return ":/icons/padlock.svg";
    case ConsoleImage::CounterDisplay: return ":/icons/counter.svg";
    case ConsoleImage::PlugLightning: return ":/icons/plug.svg";
    case ConsoleImage::ArrowRight: return ":/icons/arrow.svg";
  }
  return nullptr;
}

// Rendered here rather than through the SVG icon plugin, so that the images do not depend on
// which plugins the desktop has.
QPixmap Render(const char* resource, int size) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  if (resource != nullptr) {
    QSvgRenderer renderer{QString::fromLatin1(resource)};
    QPainter painter(&pixmap);
    renderer.render(&painter);
  }
  return pixmap;
}

}  // namespace

QIcon ConsoleIcon(ConsoleImage image) {
  static std::once_flag registered;
  std::call_once(registered, RegisterConsoleImages);
  QIcon icon;
  for (int size : {16, 32, 48}) icon.addPixmap(Render(ResourceName(image), size));
  return icon;
}

RowImageList UserRowImages() {
  return {ConsoleIcon(ConsoleImage::None), ConsoleIcon(ConsoleImage::Padlock),
          ConsoleIcon(ConsoleImage::CounterDisplay)};
}

RowImageList RelayRowImages() {
  return {ConsoleIcon(ConsoleImage::None), ConsoleIcon(ConsoleImage::PlugLightning),
          ConsoleIcon(ConsoleImage::ArrowRight)};
}

}  // namespace tarvo
