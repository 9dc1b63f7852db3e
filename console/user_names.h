// User names as the daemon and the store match them: ASCII letters without regard to case,
// every other character exactly ("émile" and "Émile" are two users). Every comparison of names
// in the console goes through these.
#pragma once

#include <QString>

namespace tarvo {

bool UserNamesEqual(const QString& a, const QString& b);

// The order of the name columns: by the same rule, names equal under it by their exact text.
bool UserNameBefore(const QString& a, const QString& b);

// The form under which equal names are one key.
QString UserNameKey(const QString& name);

}  // namespace tarvo
