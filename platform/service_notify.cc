#include "platform/service_notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

bool service_notify(const char* message) {
  // A path, or "@name" for a socket in the abstract namespace.
  const char* name = getenv("NOTIFY_SOCKET");
  if (name == nullptr || message == nullptr || (name[0] != '/' && name[0] != '@')) return false;
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  const size_t length = strlen(name);
  if (length >= sizeof address.sun_path) return false;
  memcpy(address.sun_path, name, length);
  if (name[0] == '@') address.sun_path[0] = '\0';
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const socklen_t address_length =
      static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length + (name[0] == '@' ? 0 : 1));
  const size_t size = strlen(message);
  const bool sent = sendto(fd, message, size, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&address),
                           address_length) == static_cast<ssize_t>(size);
  close(fd);
  return sent;
}
