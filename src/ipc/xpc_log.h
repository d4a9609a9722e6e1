// The channel's process-wide log level and its console output.
//
// The level starts at 1. Every send stamps it on the message and every
// received message replaces it with the level it carries. Meaning: 0
// silences the connection error lines, 2 or more logs failed unarchiving, 4
// or more logs every message sent.
//
// Console lines go to standard error, each as one write of
// "<yyyy-MM-dd HH:mm:ss.SSS> [<pid>] <text>\n"; nothing redirects them but
// standard error itself.
//
// Thread safety: all functions may be called from any thread; the level is an
// atomic word (a reader may see an older value).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace ipc {

std::uint32_t channelLogLevel();
void setChannelLogLevel(std::uint32_t level);

// Writes one console line (a line feed is added).
void channelLog(const std::string& text);

}  // namespace ipc
