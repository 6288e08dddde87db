#include "features/client_view.h"

#include <mutex>

#include "channel/client.h"

client_view view_client(const vantor_udp_client* client) {
  client_view v;
  if (client == nullptr) return v;
  // The identity is fixed when the client is created.
  v.serial = client->serial;
  v.model = client->model;
  v.variant = client->variant;
  v.version = client->version;
  // The session's interface is replaced when the channel re-establishes its
  // session, which it does under the connection lock.
  auto* c = const_cast<vantor_udp_client*>(client);
  std::lock_guard<std::mutex> lock(c->connection_mutex);
  if (c->interface_name != nullptr) {
    v.has_interface = true;
    v.interface_name = c->interface_name;
  }
  return v;
}
