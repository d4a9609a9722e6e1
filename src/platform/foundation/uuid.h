// platform::UUID: a 128-bit universally unique identifier.
//
// Guarantees:
//  1. `random()` draws 122 bits from the kernel's random source and marks the
//     value as version 4, variant 1.
//  2. `string()` is the canonical 36-character upper-case form with hyphens
//     (8-4-4-4-12); `lowerHex()` is the 32 lower-case hexadecimal digits
//     without hyphens. Both write byte 0 first.
//  3. `parse` accepts the 8-4-4-4-12 form in either case and nothing else.
//
// Thread safety: a value; every function may be called from any thread.
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

class UUID {
 public:
  using Bytes16 = std::array<std::uint8_t, 16>;

  UUID() = default;  // all zero (the nil UUID)
  explicit UUID(const Bytes16& bytes) : bytes_(bytes) {}
  static UUID random();
  // Parses "E621E1F8-C36C-495A-93FC-0C247A3E6E5F" (any case); nullopt otherwise.
  static std::optional<UUID> parse(std::string_view text);

  const Bytes16& bytes() const { return bytes_; }
  bool isNil() const;
  std::string string() const;    // "E621E1F8-C36C-495A-93FC-0C247A3E6E5F"
  std::string lowerHex() const;  // "e621e1f8c36c495a93fc0c247a3e6e5f"
  std::string description() const { return string(); }

  friend bool operator==(const UUID&, const UUID&) = default;
  friend auto operator<=>(const UUID&, const UUID&) = default;

 private:
  Bytes16 bytes_{};
};

struct UUIDHash {
  std::size_t operator()(const UUID& u) const;
};

}  // namespace platform
