// LKMultiFormatter: runs several formatters one after another on a record.
//
// Each formatter gets a copy of the record carrying the text so far as its
// message; a formatter that drops the record (std::nullopt) ends the chain
// with no text. An empty chain returns the record's message unchanged.
//
// Changes of the list are ordered with formatting: a change made before a
// `formatLogMessage` call is seen by it; several records may be formatted
// at the same time, and a change waits for the formatting under way.
//
// Thread safety: every member may be called from any thread; a formatter in
// the chain must not change the chain from inside its own formatting.
#pragma once

#include <shared_mutex>
#include <vector>

#include "logging/logger.h"

namespace logging {

class LKMultiFormatter : public LKLogFormatter {
 public:
  LKMultiFormatter() = default;

  std::optional<std::string> formatLogMessage(const LKLogMessage& message) override;
  std::shared_ptr<LKLogFormatter> clone() const override;

  // A copy of `original` whose message is `line`.
  static LKLogMessagePtr logMessageForLine(std::string line, const LKLogMessage& original);

  std::vector<LKLogFormatterPtr> formatters() const;
  void addFormatter(LKLogFormatterPtr formatter);            // appends
  void removeFormatter(const LKLogFormatterPtr& formatter);  // every occurrence
  void removeAllFormatters();
  bool isFormattingWithFormatter(const LKLogFormatterPtr& formatter) const;

 private:
  mutable std::shared_mutex mutex_;
  std::vector<LKLogFormatterPtr> formatters_;
};

}  // namespace logging
