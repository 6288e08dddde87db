// Passing untrusted text to the shell as one word.
//
// Values that come from the server (an ISP default URL, a remote action's
// arguments) end up in command lines run by system() or popen(). Each is
// wrapped in single quotes, with every embedded single quote written as
// '\'' , so the shell sees exactly one word and never a command.
#pragma once

#include <cstddef>
#include <string>

// "a b" -> 'a b'; "it's" -> 'it'\''s'; "" -> ''.
std::string shell_quote(const char* text);

// Appends a blank and the quoted word to the NUL-terminated command line in
// buffer (size bytes). Returns false, leaving buffer unchanged, when the
// result would not fit.
bool shell_append_word(char* buffer, size_t size, const char* text);
