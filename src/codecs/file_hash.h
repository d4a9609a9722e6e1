// FileHash: the MD5, SHA-1 or SHA-512 digest of a file, read in 4,096-byte
// chunks, as lower-case hexadecimal text.
//
// Guarantees: the result is nullopt when the file cannot be opened or a read
// fails (a directory included); an empty file gives the digest of no bytes.
//
// Thread safety: pure functions.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace codecs {

// One digest algorithm: its name for the digest library and its length in bytes.
struct FileHashComputationContext {
  const char* algorithm;  // "MD5", "SHA1", "SHA512"
  unsigned digestLength;  // 16, 20, 64
};

inline constexpr FileHashComputationContext kFileHashMD5{"MD5", 16};
inline constexpr FileHashComputationContext kFileHashSHA1{"SHA1", 20};
inline constexpr FileHashComputationContext kFileHashSHA512{"SHA512", 64};

class FileHash {
 public:
  static std::optional<std::string> md5HashOfFileAtPath(const std::string& path);
  static std::optional<std::string> sha1HashOfFileAtPath(const std::string& path);
  static std::optional<std::string> sha512HashOfFileAtPath(const std::string& path);
  static std::optional<std::string> hashOfFileAtPath(const std::string& path,
                                                     const FileHashComputationContext& context);
};

}  // namespace codecs
