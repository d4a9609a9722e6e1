// Interface indexes for multicast membership: which local interface carries
// a given address. Complements net/sockets/socket_address.h.
//
// Thread safety: every function may be called from any thread.
#pragma once

#include "platform/foundation/value.h"

namespace net::sockets {

// if_nametoindex() of the first interface (in getifaddrs order) carrying the
// IPv6 address of `address`, a 28-byte IPv6 record; 0 when none carries it
// or the record is not IPv6 (0 lets the system choose; the any-address ::
// gives 0).
unsigned interfaceIndexOfAddress6(const platform::Bytes& address);
// The same for the 4-byte address of a 16-byte IPv4 record.
unsigned interfaceIndexOfAddress4(const platform::Bytes& address);

}  // namespace net::sockets
