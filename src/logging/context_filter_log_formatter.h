// Context filters: formatters that let a record through (its message
// unchanged) or drop it by the record's context.
//
// LKContextWhitelistFilterLogFormatter passes only contexts in its set (an
// empty set drops everything); LKContextBlacklistFilterLogFormatter passes
// every context not in its set. Contexts are compared as unsigned 64-bit
// numbers. LKLoggingContextSet is the set both keep.
//
// Thread safety: every member may be called from any thread; each set
// operation holds the set's lock only for itself.
#pragma once

#include <cstdint>
#include <mutex>
#include <unordered_set>
#include <vector>

#include "logging/logger.h"

namespace logging {

class LKLoggingContextSet {
 public:
  void addToSet(std::uint64_t context);
  void removeFromSet(std::uint64_t context);
  // The contexts, in no particular order.
  std::vector<std::uint64_t> currentSet() const;
  bool isInSet(std::uint64_t context) const;

 private:
  mutable std::mutex mutex_;
  std::unordered_set<std::uint64_t> set_;
};

class LKContextWhitelistFilterLogFormatter : public LKLogFormatter {
 public:
  void addToWhitelist(std::uint64_t context) { contextSet_.addToSet(context); }
  void removeFromWhitelist(std::uint64_t context) { contextSet_.removeFromSet(context); }
  std::vector<std::uint64_t> whitelist() const { return contextSet_.currentSet(); }
  bool isOnWhitelist(std::uint64_t context) const { return contextSet_.isInSet(context); }
  std::optional<std::string> formatLogMessage(const LKLogMessage& message) override;
  std::shared_ptr<LKLogFormatter> clone() const override;

 private:
  LKLoggingContextSet contextSet_;
};

class LKContextBlacklistFilterLogFormatter : public LKLogFormatter {
 public:
  void addToBlacklist(std::uint64_t context) { contextSet_.addToSet(context); }
  void removeFromBlacklist(std::uint64_t context) { contextSet_.removeFromSet(context); }
  std::vector<std::uint64_t> blacklist() const { return contextSet_.currentSet(); }
  bool isOnBlacklist(std::uint64_t context) const { return contextSet_.isInSet(context); }
  std::optional<std::string> formatLogMessage(const LKLogMessage& message) override;
  std::shared_ptr<LKLogFormatter> clone() const override;

 private:
  LKLoggingContextSet contextSet_;
};

}  // namespace logging
