#include "console/user_names.h"

#include <algorithm>

namespace tarvo {

namespace {

char16_t Folded(QChar c) {
  const char16_t unit = c.unicode();
  return unit >= u'A' && unit <= u'Z' ? static_cast<char16_t>(unit - u'A' + u'a') : unit;
}

int CompareFolded(const QString& a, const QString& b) {
  const qsizetype common = std::min(a.size(), b.size());
  for (qsizetype i = 0; i < common; ++i) {
    const char16_t x = Folded(a[i]);
    const char16_t y = Folded(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : a.size() < b.size() ? -1 : 1;
}

}  // namespace

bool UserNamesEqual(const QString& a, const QString& b) {
  return a.size() == b.size() && CompareFolded(a, b) == 0;
}

bool UserNameBefore(const QString& a, const QString& b) {
  const int order = CompareFolded(a, b);
  return order < 0 || (order == 0 && a < b);
}

QString UserNameKey(const QString& name) {
  QString key = name;
  for (QChar& c : key) c = QChar(Folded(c));
  return key;
}

}  // namespace tarvo
