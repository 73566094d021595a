#pragma once

namespace platform {

// True when some interface other than loopback is up and running with an IPv4 address or
// an IPv6 address that is not link-local: the machine could reach another host. Read
// afresh on every call, so it always reflects the current interfaces.
bool hasNetworkConnection();

}  // namespace platform
