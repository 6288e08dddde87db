// What the workers need to know about the channel client: the device
// identity it was created with and the WAN interface its session uses.
//
// The interface can change whenever the channel re-establishes its session,
// so each request takes a fresh view.
#pragma once

#include <string>

struct vantor_udp_client;

struct client_view {
  std::string serial;   // at most 25 characters
  std::string model;    // at most 8
  std::string variant;  // at most 8
  std::string version;  // at most 11
  bool has_interface = false;  // false: the session is bound to no interface
  std::string interface_name;  // may be empty even when has_interface
};

// A null client gives an empty identity and no interface.
client_view view_client(vantor_udp_client* client);
