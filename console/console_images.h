// The console's images, drawn as SVG resources and rendered at the sizes asked for.
#pragma once

#include <QIcon>
#include <array>

namespace tarvo {

enum class ConsoleImage {
  Program,         // three networked computers
  UsersPage,       // two people
  ConnectedPage,   // a globe with a network plug
  SettingsPage,    // a gear wheel
  Emblem,          // the product emblem (About page)
  None,            // fully transparent: a row without a mark
  Padlock,         // a locked user
  CounterDisplay,  // a user whose limit is used up
  PlugLightning,   // a relay whose connection is still being made
  ArrowRight,      // loaded with the relay images, not used
};

QIcon ConsoleIcon(ConsoleImage image);

// The image lists of the two lists with row images, by index. A list keeps its own copy.
using RowImageList = std::array<QIcon, 3>;
// Users list: 0 ordinary, 1 locked, 2 limit used up.
RowImageList UserRowImages();
// Relay list: 0 connected, 1 connecting, 2 (unused) arrow.
RowImageList RelayRowImages();

}  // namespace tarvo
