// Keys chosen to collide in the standard library's unkeyed string hash, as
// a hostile peer or server would choose them, for tests of indexes that
// must not be walked whole by such keys.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace varnel::testing {

// Printable keys that all share one value of the standard library's
// (unkeyed) string hash, made as a peer would: the hash's steps are
// invertible, so for any first eight bytes there are last eight bytes that
// lead to the chosen value; the first ones are varied until the last ones
// are printable. (libstdc++'s 64-bit hash of a 16-byte string.)
std::vector<std::string> keysThatCollideInStdHash(std::size_t count);

}  // namespace varnel::testing
