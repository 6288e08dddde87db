// Command line of the fetch tool:
//   wget_https [-q] [-T<seconds>] [-f<body file>] [-O<output file>]
//              [-i<interface>] [-e<header file>] <url>
// Each option's value may also follow as the next word ("-T 30").
#pragma once

#include <string>

struct FetchOptions {
  bool quiet = false;
  long timeout_seconds = 900;  // as the device's tool when -T is absent
  std::string body_file;       // POSTed when given, else the request is a GET
  std::string output_file;     // status line, then the answer's body
  std::string interface;
  std::string header_file;  // extra request header lines
  std::string url;
};

// Fills options from argv; false (with a message in error) on a bad command line.
bool parse_fetch_options(int argc, char** argv, FetchOptions* options, std::string* error);
