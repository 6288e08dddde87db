// Running the device's fetch tool, wget_https.
//
// The agent never speaks HTTP itself: it writes the request body (and, for
// multipart bodies, a file of extra header lines) into files, runs the
// fetch tool on them and reads the answer the tool leaves in an output file:
// the status line ("200 OK", "302 Found", ...) followed by the body.
//
// The tool is started directly with its argument vector (found through
// PATH), never through a shell, so a URL or file name holding blanks, quotes
// or other shell characters reaches the tool as the single word it is.
#pragma once

#include <string>
#include <vector>

#include "https/https_request.h"

// Runs "wget_https -q -T30 -f<body> -O<output> <url> [-i<interface>]
// [-e<header>]" and waits for it. interface and header_path may be NULL or
// empty (then their option is left out). Returns the tool's wait status as
// system() would: 0 when the tool exited 0, non-zero otherwise (127 << 8
// when it cannot be started); 1 when the arguments cannot be built.
int vantor_https_submit(const https_request* request, const char* body_path, const char* interface,
                        const char* header_path, const char* output_path);

// Runs the fetch tool with exactly these arguments (argv[0] is added) and
// returns its wait status like system(); 127 << 8 when it cannot be started.
// The tool runs in a process group of its own. One still running 5 seconds
// after its own time-out (-T<seconds>, 30 when not given) has hung, and one
// still running when the agent stops is in the way: either is ended, and
// the run counts as failed. Once a stop is requested the tool is not started.
int https_run_fetch_tool(const std::vector<std::string>& args);
