// How the checker judges single values: the nearest known key to a
// misspelt one, how atoi reads a number, whether a switch looks meant to be
// on, and whether a command can start.
#pragma once

#include <cstddef>
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

// Where a "#" after the value starts what was meant as a comment (after a
// blank or a closing quote, or at its very start), or npos. The agent reads
// it as part of the value.
size_t comment_in_value(const std::string& value);

// How /bin/sh reads a command line, as far as the checker needs it: its
// first word with the quotes taken off, and whether a quote stays open.
// An unquoted "#" at the start of a word is a comment, as in sh.
struct shell_reading {
  std::string first_word;
  bool unpaired_quote = false;
};
shell_reading read_shell_command(const char* command);

// The first word is a shell word or names an executable file, directly or
// through PATH as /bin/sh would find it. With a root ("" = this system's
// own), the file is looked for inside that staged root file system, its
// links followed within it, and PATH is the device's default.
bool command_runs(const std::string& first_word, const std::string& root);

// The path names a directory inside root ("" = this system's own), links
// followed within it.
bool directory_in_root(const std::string& path, const std::string& root);

// Why a user other than root and the agent's own could put a file or a link
// of theirs at path, a file the agent writes or uploads: its directory can
// be written by such a user, and either no sticky bit (of a directory that
// root or the agent owns) protects the names in it, or such a user already
// holds this one. "" when neither is so, or when the directory cannot be
// looked at.
std::string shared_path_risk(const std::string& path);
