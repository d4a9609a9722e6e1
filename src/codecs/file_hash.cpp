#include "codecs/file_hash.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

namespace codecs {

std::optional<std::string> FileHash::md5HashOfFileAtPath(const std::string& path) {
  return hashOfFileAtPath(path, kFileHashMD5);
}

std::optional<std::string> FileHash::sha1HashOfFileAtPath(const std::string& path) {
  return hashOfFileAtPath(path, kFileHashSHA1);
}

std::optional<std::string> FileHash::sha512HashOfFileAtPath(const std::string& path) {
  return hashOfFileAtPath(path, kFileHashSHA512);
}

std::optional<std::string> FileHash::hashOfFileAtPath(const std::string& path,
                                                      const FileHashComputationContext& context) {
  if (path.empty()) return std::nullopt;
  const EVP_MD* md = EVP_get_digestbyname(context.algorithm);
  if (md == nullptr || static_cast<unsigned>(EVP_MD_get_size(md)) != context.digestLength) {
    return std::nullopt;
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  bool ok = ctx && EVP_DigestInit_ex(ctx.get(), md, nullptr) == 1;
  unsigned char buffer[4096];
  while (ok) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    ok = EVP_DigestUpdate(ctx.get(), buffer, static_cast<std::size_t>(n)) == 1;
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digestLength = 0;
  if (ctx && EVP_DigestFinal_ex(ctx.get(), digest, &digestLength) != 1) ok = false;
  ::close(fd);
  if (!ok) return std::nullopt;
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(digestLength * 2);
  for (unsigned i = 0; i < digestLength; ++i) {
    hex.push_back(kHex[digest[i] >> 4]);
    hex.push_back(kHex[digest[i] & 15]);
  }
  return hex;
}

}  // namespace codecs
