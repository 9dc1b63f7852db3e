// CSettings: the settings page. Shows the console's copy of the daemon's seven settings, and
// sends them to the daemon on every apply; a change also tells the users page, which re-sends
// them and redraws its Password column under the new HidePwd.
#pragma once

#include "console/property_page.h"

class QCheckBox;
class QComboBox;
class QLineEdit;

namespace tarvo {

class CSettings : public CPropertyPage {
  Q_OBJECT

 public:
  explicit CSettings(CServerTreeSheet& sheet);

  bool OnApply() override;
  // Runs on every apply, whether or not anything changed: sends the settings.
  void OnOK();
  // The page's own modified flag (the sheet's Apply button may say otherwise).
  bool modified() const { return modified_; }

  QLineEdit* portEdit() const { return port_; }
  QCheckBox* multiConnectBox() const { return multiConnect_; }
  QComboBox* logTypeList() const { return logType_; }
  QLineEdit* minVersionEdit() const { return minVersion_; }
  QCheckBox* hidePasswordBox() const { return hidePassword_; }
  QCheckBox* storeEncryptedBox() const { return storeEncrypted_; }
  QCheckBox* autoRefreshBox() const { return autoRefresh_; }

 protected:
  void OnInitDialog() override;

 private:
  void OnChange();

  QLineEdit* port_ = nullptr;
  QCheckBox* multiConnect_ = nullptr;
  QComboBox* logType_ = nullptr;
  QLineEdit* minVersion_ = nullptr;
  QCheckBox* hidePassword_ = nullptr;
  QCheckBox* storeEncrypted_ = nullptr;
  QCheckBox* autoRefresh_ = nullptr;
  bool modified_ = false;
};

}  // namespace tarvo
