// CtlFillPasswords: rewrites the Password column of the users list from the daemon's user list,
// masked or not by HidePwd. Used after the settings changed, so the column follows HidePwd, and
// once attached when the console could not open every sealed password itself (an administrator
// who may not read the store's key).
#pragma once

class QTreeWidget;

namespace tarvo {

class ControlClient;

// Column 0 holds names, column 1 passwords. Rows whose name the daemon does not know are left
// as they are. Returns the number of rows; 0 when the daemon refused; -1 when the request was
// not delivered.
int CtlFillPasswords(ControlClient& client, QTreeWidget* list, bool hidePwd);

}  // namespace tarvo
