#include "client/core/connection_state.h"

namespace client {

std::string statusText(DialerStatus status) {
  switch (status) {
    case DialerStatus::Disconnected:
      return "Disconnected";
    case DialerStatus::Connecting:
      return "Connecting";
    case DialerStatus::Disconnecting:
      return "Disconnecting";
    case DialerStatus::Connected:
      return "Connected";
    case DialerStatus::Reconnecting:
      return "Reconnecting";
  }
  return {};
}

}  // namespace client
