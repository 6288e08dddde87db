#include "tools/checkconf/values.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
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

// Shell words that are not files but run fine as a command's first word.
bool shell_word(const std::string& word) {
  static const char* const kWords[] = {".", ":", "cd", "eval", "exec", "exit", "export", "set",
                                       "trap", "umask", "if", "for", "while", "case", "{", "("};
  for (const char* w : kWords) {
    if (word == w) return true;
  }
  return word.find('=') != std::string::npos;  // an assignment before the command
}

bool executable_file(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
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

bool command_runs(const char* command) {
  const char* p = command;
  while (*p == ' ' || *p == '\t') ++p;
  std::string word(p, strcspn(p, " \t;|&<>"));
  if (word.empty() || shell_word(word)) return true;
  if (word.find('/') != std::string::npos) return executable_file(word);
  const char* env = getenv("PATH");
  std::string path = env && *env ? env : "/usr/sbin:/usr/bin:/sbin:/bin";
  for (size_t start = 0; start <= path.size();) {
    size_t end = path.find(':', start);
    if (end == std::string::npos) end = path.size();
    std::string dir = path.substr(start, end - start);
    if (executable_file((dir.empty() ? "." : dir) + "/" + word)) return true;
    start = end + 1;
  }
  return false;
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
