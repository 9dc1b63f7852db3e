#include "console/edit_message.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QValidator>
#include <QVBoxLayout>

#include "console/console_settings.h"

namespace tarvo {

namespace {

// Holds the text to kMaxText bytes of UTF-8, the room the request has.
class MessageValidator : public QValidator {
 public:
  using QValidator::QValidator;
  State validate(QString& input, int&) const override {
    return input.toUtf8().size() <= CEditMessage::kMaxText ? Acceptable : Invalid;
  }
  void fixup(QString& input) const override {
    input = QString::fromUtf8(Utf8Prefix(input, CEditMessage::kMaxText));
  }
};

}  // namespace

CEditMessage::CEditMessage(QWidget* owner) : QDialog(owner) {
  setWindowTitle(QStringLiteral("Edit message"));
  setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
  edit_ = new QLineEdit;  // one line; scrolls horizontally
  edit_->setMaxLength(kMaxText);
  edit_->setValidator(new MessageValidator(edit_));
  send_ = new QPushButton(QStringLiteral("Send"));
  send_->setDefault(true);
  cancel_ = new QPushButton(QStringLiteral("Cancel"));
  connect(send_, &QPushButton::clicked, this, [this] {
    text_ = QString::fromUtf8(Utf8Prefix(edit_->text(), kMaxText));
    accept();
  });
  connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(send_);
  buttons->addWidget(cancel_);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel(QStringLiteral("Text message")));
  layout->addWidget(edit_);
  layout->addLayout(buttons);
  setMinimumWidth(fontMetrics().averageCharWidth() * 330 / 4);
}

}  // namespace tarvo
