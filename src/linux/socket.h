// The rtnetlink sockets the layer's parts open, kept off the standard streams.
#pragma once

#include <cstdint>

#include "descriptor.h"

namespace linux_layer {

// Opens a NETLINK_ROUTE socket, close-on-exec and above descriptor 2, bound
// to the given multicast groups. Stores its port in *port unless port is
// null. Returns the descriptor, or -1 with errno set.
int open_route_socket(std::uint32_t groups, std::uint32_t* port);

using emulated::close_fd;

}  // namespace linux_layer
