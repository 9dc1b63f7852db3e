// CEditMessage: the modal dialog in which a text message for a connected user is typed.
#pragma once

#include <QDialog>

class QLineEdit;
class QPushButton;

namespace tarvo {

class CEditMessage : public QDialog {
  Q_OBJECT

 public:
  // What the daemon's message request carries.
  static constexpr int kMaxText = 1023;

  explicit CEditMessage(QWidget* owner);
  // The text when the dialog closed with Send.
  const QString& text() const { return text_; }

  QLineEdit* textEdit() const { return edit_; }
  QPushButton* sendButton() const { return send_; }
  QPushButton* cancelButton() const { return cancel_; }

 private:
  QLineEdit* edit_ = nullptr;
  QPushButton* send_ = nullptr;
  QPushButton* cancel_ = nullptr;
  QString text_;
};

}  // namespace tarvo
