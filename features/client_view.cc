#include "features/client_view.h"

#include "channel/vantor_udp_client.h"

client_view view_client(vantor_udp_client* client) {
  client_view v;
  vantor_udp_client_identity id;
  if (!vantor_udp_client_get_identity(client, &id)) return v;
  v.serial = id.serial;
  v.model = id.model;
  v.variant = id.variant;
  v.version = id.version;
  v.has_interface = id.has_interface != 0;
  v.interface_name = id.interface_name;
  return v;
}
