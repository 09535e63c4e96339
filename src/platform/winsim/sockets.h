// Abstract Unix socket addresses of a machine's endpoints (RPC endpoints, a process's windows):
// named from the machine and the endpoint, so no path length limit or leftover file gets in the way.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace winsim {

// FNV-1a: a short, stable tag for a longer name.
inline uint64_t Fnv1a(std::string_view s) {
  uint64_t h = 1469598103934665603ull;
  for (unsigned char c : s) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return h;
}

// The address of an abstract socket with this name; false when the name does not fit.
bool AbstractAddress(std::string_view name, sockaddr_un* addr, socklen_t* len);

}  // namespace winsim
