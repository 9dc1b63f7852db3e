// CAbout: the About page with the product's title line.
#pragma once

#include "console/property_page.h"

class QLabel;

namespace tarvo {

// Product name, the mark BETA and the version.
QString ProductTitleLine();

class CAbout : public CPropertyPage {
  Q_OBJECT

 public:
  explicit CAbout(CServerTreeSheet& sheet);
  QLabel* titleLine() const { return title_; }

 protected:
  void OnInitDialog() override;

 private:
  QLabel* title_ = nullptr;
};

}  // namespace tarvo
