// How the checker judges single values: the nearest known key to a
// misspelt one, how atoi reads a number, whether a switch looks meant to be
// on, and whether a command can start.
#pragma once

#include <string>

// The known key nearest to a misspelt one (case and blanks count as
// differences), or "" when none is close.
std::string nearest_key(const std::string& key);

// How atoi/atol read the text: leading blanks and a sign, then digits up to
// the first non-digit.
struct number_reading {
  long long value = 0;
  bool digits = false;    // any digit at all
  bool complete = false;  // nothing follows the digits
  bool in_range = true;   // fits a 32-bit int
};
number_reading read_number(const char* text);

// Whether a switch value that is not exactly "1" looks as if it was meant to be on.
bool looks_on(const char* value);

// The command's first word is a shell word or names an executable file,
// directly or through PATH as /bin/sh would find it.
bool command_runs(const char* command);

// Why a user other than root and the agent's own could put a file or a link
// of theirs at path, a file the agent writes or uploads: its directory can
// be written by such a user, and either no sticky bit (of a directory that
// root or the agent owns) protects the names in it, or such a user already
// holds this one. "" when neither is so, or when the directory cannot be
// looked at.
std::string shared_path_risk(const std::string& path);
