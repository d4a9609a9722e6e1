// Readers of what the SDK sends, for the tests and the local SDK service:
// gzip streams and multipart/form-data bodies. They only read: a malformed
// input gives nullopt, never an exception.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace varnel::testing {

// The bytes of one complete gzip stream; nullopt when `bytes` is not one,
// or when it unpacks to more than `maxLength` bytes (a small stream may
// stand for gigabytes: reading stops there instead of exhausting memory).
inline constexpr std::size_t kGunzipDefaultMaxLength = std::size_t{256} << 20;
std::optional<std::string> gunzip(std::string_view bytes,
                                  std::size_t maxLength = kGunzipDefaultMaxLength);

// One part of a multipart form.
struct FormPart {
  std::map<std::string, std::string> headers;  // lower-case names
  std::string name, fileName, body;            // name and filename of its Content-Disposition
};

// The value of `key="..."` in a header line; nullopt when it has none.
std::optional<std::string> quotedParameter(const std::string& header, const std::string& key);

// The parts of a multipart body, in order; nullopt when it is not well
// formed (no closing delimiter, a part without its header block).
std::optional<std::vector<FormPart>> multipartParts(const std::string& body,
                                                    const std::string& boundary);

}  // namespace varnel::testing
