// Passing untrusted text to the shell as one word.
//
// Values that come from the server (an ISP default URL, a remote action's
// arguments) end up in command lines run by system() or popen(). Each is
// wrapped in single quotes, with every embedded single quote written as
// '\'' , so the shell sees exactly one word and never a command.
#pragma once

#include <string>

// "a b" -> 'a b'; "it's" -> 'it'\''s'; "" -> ''.
std::string shell_quote(const char* text);
