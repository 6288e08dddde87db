// Where the agent finds its built-in files.
//
// Every absolute path that the agent has built in (its configuration file,
// the identity files and tools, the default log and interface files, trigger
// defaults, temporary and marker files under /tmp) goes through
// system_path(). On a device it returns the path unchanged. When the
// environment variable VTCLIENT_ROOT is set and not empty, the path is
// placed under that directory instead, so that tests and the demo can give
// the agent a sandbox of its own. Paths read from the configuration file are
// used as written and never pass through here.
#pragma once

#include <string>

// "/etc/vtclient.cfg" -> "/etc/vtclient.cfg", or "$VTCLIENT_ROOT/etc/vtclient.cfg".
std::string system_path(const char* absolute_path);

// The sandbox root, or "" on a device.
std::string system_root();
