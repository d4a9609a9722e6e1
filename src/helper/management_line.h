// ManagementLine: what one line of OpenVPN's management interface asks of
// the helper. A pure function of the text (no state, no I/O), so that every
// line OpenVPN (or anything that reached its socket) can send is handled the
// same way and can be fuzzed on its own.
//
// Rules, tested in this order on the line without its line feed:
//  - holds "STATE:": a state report; `stateName` is the text between the
//    first and second ',' and `stateReason` the text between the second and
//    third ',' (either may be empty; an empty name means nothing to do);
//  - holds ">PASSWORD:Verification Failed": the server refused the password;
//  - holds ">PASSWORD:": a prompt for user name and password;
//  - holds "'Auth' username entered": the password is due;
//  - starts with ">HOLD:": OpenVPN waits for a hold release; `holdSeconds`
//    is the pause OpenVPN would have made itself, the number after the last
//    ':' (0 when there is none);
//  - anything else: nothing to do.
//
// Thread safety: pure; any thread.
#pragma once

#include <string>
#include <string_view>

namespace helper {

struct ManagementLine {
  enum class Kind { kNone, kState, kPasswordRefused, kPasswordPrompt, kUserNameTaken, kHold };
  Kind kind = Kind::kNone;
  std::string stateName;
  std::string stateReason;
  int holdSeconds = 0;

  static ManagementLine parse(std::string_view line);
};

}  // namespace helper
