// libFuzzer target: OpenVPN management output as the helper reads it, split
// into lines at line feeds, each line classified by ManagementLine::parse.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "helper/management_line.h"

using helper::ManagementLine;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    const ManagementLine parsed = ManagementLine::parse(line);
    const bool state = line.find("STATE:") != std::string_view::npos;
    if ((parsed.kind == ManagementLine::Kind::kState) != state) std::abort();
    // The fields are pieces of the line between commas.
    if (parsed.stateName.find(',') != std::string::npos) std::abort();
    if (parsed.stateReason.find(',') != std::string::npos) std::abort();
    if (parsed.stateName.size() + parsed.stateReason.size() > line.size()) std::abort();
    if (!parsed.stateName.empty() && line.find(parsed.stateName) == std::string_view::npos)
      std::abort();
    if (parsed.kind != ManagementLine::Kind::kState &&
        (!parsed.stateName.empty() || !parsed.stateReason.empty()))
      std::abort();
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return 0;
}
