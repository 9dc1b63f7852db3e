#include "console/about_page.h"

#include <QLabel>
#include <QVBoxLayout>

#include "console/console_images.h"

namespace tarvo {

QString ProductTitleLine() {
  return QStringLiteral("Tarvo Server BETA V") + QStringLiteral(TARVO_VERSION_TEXT);
}

CAbout::CAbout(CServerTreeSheet& sheet)
    : CPropertyPage(sheet, QStringLiteral("About"), ConsoleIcon(ConsoleImage::Emblem)) {
  auto* emblem = new QLabel;
  emblem->setPixmap(pageIcon().pixmap(48, 48));
  emblem->setAlignment(Qt::AlignCenter);
  title_ = new QLabel(QStringLiteral("VPN server V2"));
  title_->setAlignment(Qt::AlignCenter);
  auto* layout = new QVBoxLayout(this);
  layout->addStretch(64);
  layout->addWidget(emblem);
  layout->addWidget(title_);
  layout->addStretch(151);
}

void CAbout::OnInitDialog() { title_->setText(ProductTitleLine()); }

}  // namespace tarvo
