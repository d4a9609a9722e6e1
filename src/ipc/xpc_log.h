// The channel's process-wide log level and its console output.
//
// The level starts at 1. Every send stamps it on the message and every
// received message replaces it with the level it carries. Meaning: 0
// silences the connection error lines, 2 or more logs failed unarchiving, 4
// or more logs every message sent.
//
// Console lines go to standard error with a time stamp, or to the sink a test
// installs.
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
// Replaces the console with `sink` (nullptr restores standard error).
void setChannelLogSinkForTesting(std::function<void(const std::string&)> sink);

}  // namespace ipc
