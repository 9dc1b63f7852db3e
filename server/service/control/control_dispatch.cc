// DispatchControlRequest: reads a request's arguments from the console's request area, bounded
// by the area (a console that writes no NUL cannot make the daemon read past it), runs the
// handler (each takes the network lock for what it does to sessions, never across a store
// call), and sends the notification a request asked for.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>

#include "server/common/control_records.h"
#include "server/service/control/admin_commands.h"
#include "server/service/control/control_listener.h"
#include "server/service/base/diagnostics.h"
#include "server/service/net/network_loop.h"
#include "server/service/base/notifications.h"

namespace tarvo {

namespace {

// The request's UserInfo, with its strings ended inside their fields. The dispatcher works on
// this copy, so a console changing the area meanwhile cannot change what a handler checked.
UserInfo ReadUserInfo(const std::uint8_t* area) {
  UserInfo r;
  std::memcpy(&r, area, sizeof r);
  r.name[sizeof r.name - 1] = '\0';
  r.password[sizeof r.password - 1] = '\0';
  return r;
}

std::string_view BoundedText(const std::uint8_t* area, std::size_t size, std::size_t offset) {
  if (offset >= size) return {};
  const char* text = reinterpret_cast<const char*>(area + offset);
  return std::string_view(text, strnlen(text, size - offset));
}

std::uint32_t Word(const std::uint8_t* area, std::size_t offset) {
  std::uint32_t value;
  std::memcpy(&value, area + offset, sizeof value);
  return value;
}

// The connection of the console that attached last; 0 when none is. Listener thread only.
ConnectionId AttachedConnection = 0;

std::uint32_t NotificationOf(std::uint32_t code) {
  switch (code) {
    case CTL_ADD_USER:
      return NTF_USER_ADDED;
    case CTL_DELETE_USER:
      return NTF_USER_DELETED;
    default:
      return NTF_USER_CHANGED;
  }
}

}  // namespace

void DispatchControlRequest(PortMessage& portMessage, ControlConnection& connection,
                            std::uint8_t* request, std::size_t requestSize) {
  ControlMessage message = ToControlMessage(portMessage);
  std::span<std::uint8_t> reply(static_cast<std::uint8_t*>(connection.replyArea.base()),
                                connection.replyArea.viewSize());
  // The listener admits only consoles whose area holds every request's arguments.
  if (requestSize < kRequestViewSize) return;
  std::lock_guard serialized(AdminRequestLock);

  switch (message.code) {
    case CTL_ATTACH:
    case CTL_DETACH: {
      // Under the network lock: a notification the network thread is assembling belongs
      // wholly before or after the change of console.
      MutexLock lock(NetworkLock);
      SetConsoleAttached(connection, message.code == CTL_ATTACH);
      DropNotifyConnection();
      message.status = CTL_OK;
      if (message.code == CTL_ATTACH) {
        AttachedConnection = connection.id;
        Diagnose("a console attached (uid %u, pid %d)", static_cast<unsigned>(connection.peer.uid),
                 static_cast<int>(connection.peer.pid));
      } else {
        if (AttachedConnection == connection.id) AttachedConnection = 0;
        Diagnose("the console detached (uid %u, pid %d)",
                 static_cast<unsigned>(connection.peer.uid), static_cast<int>(connection.peer.pid));
      }
      break;
    }
    case CTL_ADD_USER:
    case CTL_DELETE_USER:
    case CTL_UPDATE_USER:
    case CTL_TOGGLE_LOCK:
    case CTL_SET_LOCK:
    case CTL_RESET_COUNTER: {
      UserInfo r = ReadUserInfo(request);
      switch (message.code) {
        case CTL_ADD_USER:
          message.status = AddUserCmd(r);
          break;
        case CTL_DELETE_USER:
          message.status = DeleteUserCmd(r);
          break;
        case CTL_UPDATE_USER:
          message.status = UpdateUserCmd(r);
          break;
        case CTL_TOGGLE_LOCK:
          message.status = ToggleLockCmd(r);
          break;
        case CTL_SET_LOCK: {
          bool changed = false;
          message.status = SetLockCmd(r, changed);
          message.value = changed ? 1 : 0;
          break;
        }
        default:
          message.status = ResetCounterCmd(r);
          break;
      }
      const bool writesBack = message.code != CTL_ADD_USER && message.code != CTL_DELETE_USER;
      if (writesBack && message.status == CTL_OK) std::memcpy(request, &r, sizeof r);
      if (message.status == CTL_OK) {
        // The event stream hears of every change; the console of those it asked about.
        using Send = void (*)(std::uint32_t, const void*, std::size_t);
        const Send send = message.flag != 0 ? static_cast<Send>([](std::uint32_t code,
                                                                   const void* payload,
                                                                   std::size_t size) {
          SendNotification(code, payload, size, true);
        }) : TapNotification;
        if (message.code == CTL_DELETE_USER) {
          send(NTF_USER_DELETED, r.name, std::strlen(r.name) + 1);
        } else {
          send(NotificationOf(message.code), &r, sizeof r);
        }
      }
      explicit_bzero(r.password, sizeof r.password);
      break;
    }
    case CTL_GET_SETTINGS:
      message.status = GetSettingsCmd(reply);
      break;
    case CTL_SET_SETTINGS: {
      SettingsRecord record;
      std::memcpy(&record, request, sizeof record);
      message.status = SetSettingsCmd(record);
      break;
    }
    case CTL_ENUM_USERS:
      message.status = EnumUsersCmd(reply, message.value);
      break;
    case CTL_LIST_SESSIONS:
      message.value = ListSessionsCmd(reply);
      break;
    case CTL_LIST_ALL_SESSIONS:
      message.status = ListAllSessionsCmd(reply, message.value);
      break;
    case CTL_DISCONNECT_SESSION:
      message.status = DisconnectSessionCmd(ReadUserInfo(request));
      break;
    case CTL_SEND_MESSAGE:
      message.status =
          SendMessageCmd(Word(request, 0), BoundedText(request, requestSize, kMessageTextOffset));
      break;
    case CTL_LIST_RELAYS:
      message.value = ListRelaysCmd(Word(request, 0), Word(request, kRelaysSessionIdOffset),
                                    BoundedText(request, requestSize, kRelaysNameOffset), reply);
      break;
    default:
      return;  // answered unchanged
  }
  portMessage = ToPortMessage(message);
}

void ControlConnectionGone(const ControlConnection& connection) {
  if (connection.id != AttachedConnection) return;
  AttachedConnection = 0;
  // The attached flag stays, as when a console ends without detaching: notifications go to
  // whichever console next listens.
  Diagnose("the attached console was dropped (uid %u, pid %d): it left without detaching",
           static_cast<unsigned>(connection.peer.uid), static_cast<int>(connection.peer.pid));
}

}  // namespace tarvo
