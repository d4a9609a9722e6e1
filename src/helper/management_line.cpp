#include "helper/management_line.h"

namespace helper {

ManagementLine ManagementLine::parse(std::string_view line) {
  ManagementLine out;
  if (line.find("STATE:") != std::string_view::npos) {
    out.kind = Kind::kState;
    const std::size_t first = line.find(',');
    if (first == std::string_view::npos) return out;
    const std::size_t second = line.find(',', first + 1);
    out.stateName = std::string(line.substr(
        first + 1, second == std::string_view::npos ? std::string_view::npos : second - first - 1));
    if (second == std::string_view::npos) return out;
    const std::size_t third = line.find(',', second + 1);
    out.stateReason = std::string(line.substr(
        second + 1, third == std::string_view::npos ? std::string_view::npos : third - second - 1));
  } else if (line.find(">PASSWORD:Verification Failed") != std::string_view::npos) {
    out.kind = Kind::kPasswordRefused;
  } else if (line.find(">PASSWORD:") != std::string_view::npos) {
    out.kind = Kind::kPasswordPrompt;
  } else if (line.find("'Auth' username entered") != std::string_view::npos) {
    out.kind = Kind::kUserNameTaken;
  } else if (line.rfind(">HOLD:", 0) == 0) {
    out.kind = Kind::kHold;
    const std::size_t colon = line.rfind(':');
    int seconds = 0;
    std::size_t at = colon + 1;
    while (at < line.size() && line[at] >= '0' && line[at] <= '9' && seconds < 100000)
      seconds = seconds * 10 + (line[at++] - '0');
    out.holdSeconds = seconds;
  }
  return out;
}

}  // namespace helper
