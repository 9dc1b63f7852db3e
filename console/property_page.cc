#include "console/property_page.h"

#include <QFontMetrics>
#include <QHeaderView>
#include <QTreeWidget>
#include <cmath>

#include "console/server_tree_sheet.h"

namespace tarvo {

namespace {
// Average character width of the classic 8-point dialog font, in pixels.
constexpr double kClassicCharWidth = 6.0;
}  // namespace

CPropertyPage::CPropertyPage(CServerTreeSheet& sheet, QString caption, QIcon icon)
    : sheet_(sheet), caption_(std::move(caption)), icon_(std::move(icon)) {}

void CPropertyPage::ensureCreated() {
  if (created_) return;
  created_ = true;
  OnInitDialog();
}

bool CPropertyPage::OnQueryCancel() { return sheet_.AskToSaveSettings(); }

void CPropertyPage::SetModified(bool modified) {
  sheetModified_ = modified;
  Q_EMIT modifiedChanged();
}

int CPropertyPage::DialogUnitsX(int units) const {
  return static_cast<int>(std::lround(units * fontMetrics().averageCharWidth() / 4.0));
}

int CPropertyPage::DialogUnitsY(int units) const {
  return static_cast<int>(std::lround(units * fontMetrics().height() / 8.0));
}

int CPropertyPage::ScaledPixels(int pixels) const {
  return static_cast<int>(
      std::lround(pixels * fontMetrics().averageCharWidth() / kClassicCharWidth));
}

void CPropertyPage::SetUpReportList(QTreeWidget* list, const QStringList& headers,
                                    std::initializer_list<int> widths) const {
  list->setColumnCount(static_cast<int>(headers.size()));
  list->setHeaderLabels(headers);
  list->setRootIsDecorated(false);
  list->setUniformRowHeights(true);
  list->setAllColumnsShowFocus(true);
  list->header()->setSectionsClickable(false);
  list->header()->setSortIndicatorShown(false);
  list->header()->setStretchLastSection(false);
  list->header()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  list->setIconSize(QSize(16, 16));
  int column = 0;
  for (int width : widths) list->setColumnWidth(column++, ScaledPixels(width));
}

}  // namespace tarvo
