// The version of this build: the project version, followed by what
// `git describe` said when it was built from a git checkout, for example
// "1.1.0" or "1.1.0 (v1.1.0-3-g1a2b3c4)". Defined in a source generated at
// build time (cmake/version.cmake); programs link vt_version.
#pragma once

extern "C" const char vtclient_version[];
