// The channel's UDP socket and the lookup of the server's address.
#include <arpa/inet.h>
#include <net/if.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "channel/client.h"

int __vantor_udp_client_open_socket(int *sock, const sockaddr_in *local_addr,
                                    const sockaddr_in *server_addr, const char *interface_name,
                                    vantor_log_func log) {
  *sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (*sock < 0) {
    log(VT_LOG_ERR, "Cannot open socket");
    return 0;
  }
  if (interface_name && *interface_name) {
    socklen_t length = static_cast<socklen_t>(std::strlen(interface_name) + 1);
    if (setsockopt(*sock, SOL_SOCKET, SO_BINDTODEVICE, interface_name, length) != 0)
      log(VT_LOG_ERR, "Cannot set socket option (SO_BINDTODEVICE) (%s)", interface_name);
  }
  int on = 1;
  if (setsockopt(*sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
    log(VT_LOG_ERR, "Cannot set socket option (SO_REUSEADDR)");
    return 0;
  }
  if (bind(*sock, reinterpret_cast<const sockaddr *>(local_addr), sizeof *local_addr) != 0) {
    log(VT_LOG_ERR, "Cannot bind local address");
    return 0;
  }
  if (connect(*sock, reinterpret_cast<const sockaddr *>(server_addr), sizeof *server_addr) != 0) {
    log(VT_LOG_ERR, "Cannot connect peer address");
    return 0;
  }
  sockaddr_in bound = {};
  socklen_t bound_length = sizeof bound;
  if (getsockname(*sock, reinterpret_cast<sockaddr *>(&bound), &bound_length) == 0)
    log(VT_LOG_INFO, "Client listening port: %d", ntohs(bound.sin_port));
  return 1;
}

int __vantor_udp_client_resolve(const char *host, uint32_t port, sockaddr_in *address) {
  if (!host || !address) return -1;
  // getaddrinfo rather than gethostbyname: the receive thread resolves while
  // other threads of the process may resolve too, and gethostbyname shares
  // one static result between them.
  addrinfo hints = {};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo *found = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &found) != 0 || !found) return -1;
  sockaddr_in result = *reinterpret_cast<const sockaddr_in *>(found->ai_addr);
  freeaddrinfo(found);
  result.sin_family = AF_INET;
  result.sin_port = htons(static_cast<uint16_t>(port));
  *address = result;
  return 0;
}
