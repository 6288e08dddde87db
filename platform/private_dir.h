// The agent's private exchange directory.
//
// Files that only the agent and its fetch tool use (request bodies and
// header files, the tool's answers, the authorisation exchange, captured
// command output, the extension information) live in a directory that no
// other user can enter: "/tmp/vtclient" through the path seam, owned by the
// agent's user, mode 0700, a real directory and not a link. In a /tmp
// shared with other users nobody can then pre-create, read, replace or
// link these names.
//
// The directory is made when it is missing and checked with lstat() before
// every use. When something else holds the name (a file, a link, a
// directory of another owner or with a wider mode), the agent does not use
// or change it: it logs the fact once and uses a fresh directory of its own
// from mkdtemp() ("/tmp/vtclient.XXXXXX") instead. When even that cannot be
// made, private_path() returns "" and every exchange fails.
#pragma once

#include <string>

// The directory in use, made or checked now; "" when none is safe.
std::string private_directory();

// "udps_conf.in" -> "<private directory>/udps_conf.in"; "" when there is
// no safe directory (opening "" fails, so the exchange fails).
std::string private_path(const char* base_name);

// The directory of the status snapshot: "/var/run/vtclient" through the path
// seam, which everybody may read and only the agent's user may change:
// owned by that user, mode 0755, a real directory and not a link. It is made
// when missing and checked before every use; when something else holds the
// name, or the directory cannot be made, the refusal is logged once and ""
// returned (no snapshot is written; readers find none or an old one).
std::string status_directory();
