#include "tools/checkconf/values.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tools/checkconf/known_keys.h"

namespace {

size_t edit_distance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// Shell words that are not files but run fine as a command's first word:
// the shell's own commands (dash and busybox ash have them all built in) and
// words only known once the shell has expanded them.
bool shell_word(const std::string& word) {
  static const char* const kWords[] = {".",     ":",     "[",      "cd",    "command", "echo", "eval",
                                       "exec",  "exit",  "export", "false", "kill",    "printf", "pwd",
                                       "read",  "set",   "shift",  "test",  "trap",    "true", "type",
                                       "umask", "unset", "wait",   "if",    "for",     "while", "until",
                                       "case",  "{",     "(",      "!"};
  for (const char* w : kWords) {
    if (word == w) return true;
  }
  // An assignment before the command, or a word the shell expands first.
  return word.find_first_of("=$`*?") != std::string::npos;
}

// Directories a device makes at run time (tmpfs, devices, kernel views):
// a staged root file system cannot tell what will be in them.
bool made_at_run_time(const std::string& path) {
  for (const char* dir : {"/tmp/", "/var/", "/run/", "/dev/", "/proc/", "/sys/"}) {
    if (path.compare(0, strlen(dir), dir) == 0) return true;
  }
  return false;
}

// stat() of the path as it is seen from inside root: every link is followed
// within root, an absolute target starting again at root, as it would on the
// device. An empty root is this system's own.
bool stat_in_root(const std::string& root, const std::string& path, struct stat* st) {
  if (root.empty()) return stat(path.c_str(), st) == 0;
  std::vector<std::string> pending;  // components still to walk, the next one last
  auto push_components = [&pending](const std::string& p) {
    std::vector<std::string> parts;
    for (size_t start = 0; start <= p.size();) {
      size_t end = p.find('/', start);
      if (end == std::string::npos) end = p.size();
      if (end > start) parts.push_back(p.substr(start, end - start));
      start = end + 1;
    }
    pending.insert(pending.end(), parts.rbegin(), parts.rend());
  };
  push_components(path);
  std::string done;  // the walked part, free of links, relative to root
  for (int links = 0; !pending.empty();) {
    std::string part = pending.back();
    pending.pop_back();
    if (part == ".") continue;
    if (part == "..") {
      done.erase(std::min(done.size(), done.rfind('/')));
      continue;
    }
    std::string next = done + "/" + part;
    struct stat link;
    if (lstat((root + next).c_str(), &link) != 0) return false;
    if (!S_ISLNK(link.st_mode)) {
      done = next;
      continue;
    }
    char target[PATH_MAX];
    ssize_t n = readlink((root + next).c_str(), target, sizeof target - 1);
    if (n <= 0 || ++links > 40) return false;  // 40: the kernel's own limit
    std::string to(target, static_cast<size_t>(n));
    if (to[0] == '/') done.clear();
    push_components(to);
  }
  return stat((root + done).c_str(), st) == 0;
}

bool executable_file(const std::string& path, const std::string& root) {
  struct stat st;
  if (!stat_in_root(root, path, &st) || !S_ISREG(st.st_mode)) return false;
  // A staged tree belongs to whoever built it: its mode bits are what the device sees.
  return root.empty() ? access(path.c_str(), X_OK) == 0 : (st.st_mode & 0111) != 0;
}

}  // namespace

std::string nearest_key(const std::string& key) {
  std::string best;
  size_t best_distance = 4;
  for (size_t i = 0; i < kKnownKeyCount; ++i) {
    std::string known = kKnownKeys[i].name;
    std::string folded = key;
    for (char& c : folded) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    size_t d = std::min(edit_distance(key, known), edit_distance(folded, known));
    if (d < best_distance) {
      best_distance = d;
      best = known;
    }
  }
  return best;
}

number_reading read_number(const char* text) {
  number_reading r;
  const char* p = text;
  while (isspace(static_cast<unsigned char>(*p))) ++p;
  bool negative = *p == '-';
  if (*p == '+' || *p == '-') ++p;
  for (; isdigit(static_cast<unsigned char>(*p)); ++p) {
    r.digits = true;
    if (r.value <= INT_MAX) r.value = r.value * 10 + (*p - '0');
  }
  if (negative) r.value = -r.value;
  r.in_range = r.value >= INT_MIN && r.value <= INT_MAX;
  r.complete = r.digits && *p == '\0';
  return r;
}

bool looks_on(const char* value) {
  std::string v;
  for (const char* p = value; *p; ++p) {
    if (!isspace(static_cast<unsigned char>(*p))) v += static_cast<char>(tolower(static_cast<unsigned char>(*p)));
  }
  return v == "1" || v == "yes" || v == "y" || v == "true" || v == "on" || v == "enable" ||
         v == "enabled" || atoi(value) != 0;
}

size_t comment_in_value(const std::string& value) {
  for (size_t i = value.find('#'); i != std::string::npos; i = value.find('#', i + 1)) {
    if (i == 0 || value[i - 1] == ' ' || value[i - 1] == '\t' || value[i - 1] == '"') return i;
  }
  return std::string::npos;
}

shell_reading read_shell_command(const char* command) {
  shell_reading r;
  bool in_word = false, first_done = false;
  char quote = 0;
  for (const char* p = command; *p != '\0'; ++p) {
    char c = *p;
    if (quote == '\'') {
      if (c == '\'') quote = 0;
      else if (!first_done) r.first_word += c;
      continue;
    }
    if (quote == '"') {
      if (c == '"') {
        quote = 0;
        continue;
      }
      if (c == '\\' && p[1] != '\0' && strchr("\"\\$`", p[1]) != nullptr) c = *++p;
      if (!first_done) r.first_word += c;
      continue;
    }
    if (c == ' ' || c == '\t' || strchr(";|&<>()", c) != nullptr) {
      if (!in_word && !first_done && (c == '(' || c == ')')) r.first_word = c;
      if (in_word || (c != ' ' && c != '\t')) first_done = true;
      in_word = false;
      continue;
    }
    if (c == '#' && !in_word) break;  // a comment to the end of the line
    in_word = true;
    if (c == '\'' || c == '"') {
      quote = c;
    } else {
      if (c == '\\' && p[1] != '\0') c = *++p;
      if (!first_done) r.first_word += c;
    }
  }
  r.unpaired_quote = quote != 0;
  return r;
}

bool command_runs(const std::string& word, const std::string& root) {
  if (word.empty() || shell_word(word)) return true;
  if (word.find('/') != std::string::npos) return executable_file(word, root);
  const char* env = getenv("PATH");
  // The device's own PATH for a staged root: the build machine's means nothing there.
  std::string path = root.empty() && env && *env ? env : "/usr/sbin:/usr/bin:/sbin:/bin";
  for (size_t start = 0; start <= path.size();) {
    size_t end = path.find(':', start);
    if (end == std::string::npos) end = path.size();
    std::string dir = path.substr(start, end - start);
    if (executable_file((dir.empty() ? "." : dir) + "/" + word, root)) return true;
    start = end + 1;
  }
  return false;
}

bool directory_in_root(const std::string& path, const std::string& root) {
  if (!root.empty() && made_at_run_time(path)) return true;
  struct stat st;
  return stat_in_root(root, path, &st) && S_ISDIR(st.st_mode);
}

namespace {

// Root or the user the checker runs as (the agent's own, on a device).
bool is_us(uid_t uid) { return uid == 0 || uid == geteuid(); }

}  // namespace

std::string shared_path_risk(const std::string& path) {
  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  struct stat d;
  if (stat(dir.c_str(), &d) != 0 || !S_ISDIR(d.st_mode)) return "";
  bool others_write = !is_us(d.st_uid) || (d.st_mode & S_IWOTH) != 0 ||
                      ((d.st_mode & S_IWGRP) != 0 && d.st_gid != 0);
  if (!others_write) return "";
  struct stat f;
  if (lstat(path.c_str(), &f) == 0 && !is_us(f.st_uid)) {
    return "is held by uid " + std::to_string(f.st_uid) + " in " + dir + ", which other users can write";
  }
  if ((d.st_mode & S_ISVTX) == 0 || !is_us(d.st_uid)) {
    return "lies in " + dir + ", which other users can write and no sticky bit protects";
  }
  return "";
}
