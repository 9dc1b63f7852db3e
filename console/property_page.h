// A page of the console's sheet: its caption (tree label and title bar), its icon, and the
// sheet's calls. A page's controls are made when the page is first shown (OnInitDialog), as the
// sheet creates a page's window only then; before that the page holds no state.
#pragma once

#include <QIcon>
#include <QString>
#include <QWidget>

class QTreeWidget;

namespace tarvo {

class CServerTreeSheet;

// Where a list row keeps the index of its image (the icon shows it; this tells which it is).
inline constexpr int kRowImageRole = Qt::UserRole;

class CPropertyPage : public QWidget {
  Q_OBJECT

 public:
  CPropertyPage(CServerTreeSheet& sheet, QString caption, QIcon icon);

  const QString& caption() const { return caption_; }
  const QIcon& pageIcon() const { return icon_; }
  // Whether the page's window exists (it has been shown once).
  bool created() const { return created_; }
  // Runs OnInitDialog the first time.
  void ensureCreated();

  // The sheet's OK and Apply: true lets the sheet go on.
  virtual bool OnApply() { return true; }
  // The sheet's Cancel, asked of the active page: true lets the sheet close.
  virtual bool OnQueryCancel();

  // Tells the sheet that this page holds a change (enables Apply) or no longer does.
  void SetModified(bool modified = true);
  bool sheetModified() const { return sheetModified_; }

 Q_SIGNALS:
  void modifiedChanged();

 protected:
  virtual void OnInitDialog() {}

  // Sizes given in the dialog units of the design, turned into pixels of this desktop's font:
  // a horizontal unit is a quarter of the average character width, a vertical one an eighth of
  // the character height.
  int DialogUnitsX(int units) const;
  int DialogUnitsY(int units) const;
  // A column width given in pixels for the classic 8-point dialog font, scaled to this one.
  int ScaledPixels(int pixels) const;
  // Report-view list setup shared by the pages: columns with headers and widths, left-aligned.
  void SetUpReportList(QTreeWidget* list, const QStringList& headers,
                       std::initializer_list<int> widths) const;

  CServerTreeSheet& sheet_;

 private:
  QString caption_;
  QIcon icon_;
  bool created_ = false;
  bool sheetModified_ = false;
};

}  // namespace tarvo
