// vtclient-checkconf: reads a configuration file the way the agent does and
// reports what the agent would silently ignore, misread or replace.
#pragma once

#include <string>
#include <vector>

enum check_status { check_clean = 0, check_warnings = 1, check_errors = 2 };

// Appends one line per finding, "<path>:<line>: warning: ..." or
// "<path>: error: ..." for findings about the whole file, in the order of
// the file's lines. Returns the exit status: 0 clean, 1 warnings, 2 errors.
// Commands and paths are looked for in root, a staged root file system of
// the device, or in this system's own when root is "".
check_status check_configuration(const std::string& path, std::vector<std::string>* findings,
                                 const std::string& root = "");
