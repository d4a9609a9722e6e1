// Keys chosen to collide in the standard library's unkeyed string hash, as
// a hostile peer or server would choose them, for tests of indexes that
// must not be walked whole by such keys.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace varnel::testing {

// Printable keys that all share one value of the standard library's
// (unkeyed) string hash, made as a peer would: the hash's steps are
// invertible, so for any first eight bytes there are last eight bytes that
// lead to the chosen value; the first ones are varied until the last ones
// are printable. (libstdc++'s 64-bit hash of a 16-byte string.)
std::vector<std::string> keysThatCollideInStdHash(std::size_t count);

// The JSON codec's former key hash, public and unkeyed: a seed, then per
// byte h = ((h * 33) + c - 29) ^ (h >> 19). Kept here as what a server
// could compute to attack it.
std::uint64_t publicJSONKeyHash(std::string_view bytes);

// At least `count` distinct keys (letters and digits, all of one length)
// that share one value of publicJSONKeyHash, made as a server would: from
// any state, two-byte blocks that lead to the same next state are common,
// so a run of such blocks with a few choices each multiplies into many
// keys (each choice is independent of the others).
std::vector<std::string> keysThatCollideInPublicJSONHash(std::size_t count);

}  // namespace varnel::testing
