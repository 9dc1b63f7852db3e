// A notification from the daemon on its way from the listener thread to a page: posted into the
// page's event queue, so that only the user-interface thread touches the page. The event owns
// its copy of the data, and it is freed once the page has handled it.
#pragma once

#include <QEvent>
#include <cstring>

#include "console/control_client/notification.h"

namespace tarvo {

// Users page: user added, deleted, changed, and the settings page's "settings changed".
// Connected users page: session opened, session closed, relay event.
inline constexpr QEvent::Type kAddedEvent = static_cast<QEvent::Type>(QEvent::User + 100);
inline constexpr QEvent::Type kDeletedEvent = static_cast<QEvent::Type>(QEvent::User + 101);
inline constexpr QEvent::Type kChangedEvent = static_cast<QEvent::Type>(QEvent::User + 102);
inline constexpr QEvent::Type kSettingsChangedEvent = static_cast<QEvent::Type>(QEvent::User + 103);

class NotificationEvent : public QEvent {
 public:
  NotificationEvent(QEvent::Type type, const Notification& notification)
      : QEvent(type), notification_(notification) {}
  ~NotificationEvent() override {
    explicit_bzero(notification_.user.password, sizeof notification_.user.password);
  }
  NotificationEvent(const NotificationEvent&) = delete;
  NotificationEvent& operator=(const NotificationEvent&) = delete;
  const Notification& notification() const { return notification_; }

 private:
  Notification notification_;
};

}  // namespace tarvo
