#include "tools/checkconf/check.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>

#include "features/scheduler.h"
#include "features/setting_rules.h"
#include "https/https_request.h"
#include "platform/owned.h"
#include "platform/taglist.h"
#include "tools/checkconf/known_keys.h"
#include "tools/checkconf/values.h"

namespace {

constexpr size_t kMaxLine = 8191;  // the store reads longer lines in pieces of this size
constexpr uint32_t kDefaultLogSize = 16384;  // the rotation size when DEVICE_LOG_FILE_SIZE is not set
// The longest configuration source path that the sync request carries whole.
constexpr size_t kConfigSourceMax = sizeof(https_request::config_path) - 1;
const uint32_t kAutoFeatures[] = {FEATURE_ID_CONFIG, FEATURE_ID_REPORT, FEATURE_ID_FIRMWARE, FEATURE_ID_ISP,
                                  FEATURE_ID_GPS};

struct finding {
  int line;  // 0 = about the whole file, listed after the lines
  bool error;
  std::string text;
};

std::string quoted(const std::string& key, const std::string& value) { return key + "=\"" + value + "\""; }

bool ends_with(const std::string& text, const char* end) {
  size_t n = strlen(end);
  return text.size() >= n && text.compare(text.size() - n, n, end) == 0;
}

bool starts_with(const std::string& text, const char* start) { return text.compare(0, strlen(start), start) == 0; }

std::string without_blanks(const std::string& text) {
  size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// KEY="value" as it was meant, from a line written with blanks around "=".
std::string meant(const std::string& key, const std::string& value) {
  std::string v = without_blanks(value);
  if (!v.empty() && v[0] == '"') v.erase(0, 1);
  return quoted(without_blanks(key), v);
}

// The feature's switch, FEATURE_<F>_SUPPORT.
std::string support_key(int id) {
  for (size_t i = 0; i < kKnownKeyCount; ++i) {
    const known_key& k = kKnownKeys[i];
    std::string name = k.name;
    if (k.feature == id && ends_with(name, "_SUPPORT") && name.find("TRIGGER") == std::string::npos) return name;
  }
  return "";
}

class checker {
 public:
  checker(std::string path, std::string root) : path_(std::move(path)), root_(std::move(root)) {}

  // One key=value line as the store parses it; the first line of a key wins.
  void line(int number, const std::string& key, const std::string& value) {
    auto first = first_line_.find(key);
    if (first != first_line_.end()) {
      warn(number, key + " is set again: the first setting, on line " + std::to_string(first->second) + ", wins");
      return;
    }
    first_line_[key] = number;
    const known_key* known = find_known_key(key.c_str());
    std::string bare = without_blanks(key);
    if (known == nullptr && bare != key && find_known_key(bare.c_str()) != nullptr) {
      warn(number, "blanks around \"=\": the agent reads the key \"" + key + "\" and the value \"" + value +
                       "\"; write " + meant(key, value));
      return;
    }
    if (known == nullptr) {
      std::string nearest = nearest_key(key);
      warn(number, "unknown key \"" + key + "\"" + (nearest.empty() ? "" : " (did you mean " + nearest + "?)"));
      return;
    }
    if (value.empty()) return;  // not set: the default applies
    bool command = known->kind == key_kind::command || known->kind == key_kind::needed_command;
    if (!command && comment_in_value(value) != std::string::npos) {
      // /bin/sh drops a comment from a command itself; any other value keeps it.
      warn(number, quoted(key, value) + " ends in a comment, which the agent reads as part of the value: "
                   "only a line that starts with \"#\" is a comment");
      return;
    }
    bool text = known->kind == key_kind::text || known->kind == key_kind::file || known->kind == key_kind::url_path;
    if (text && (value[0] == ' ' || value[0] == '\t')) {
      warn(number, "blank after \"=\": the agent reads the value \"" + value + "\"; write " + meant(key, value));
      return;
    }
    if (known->kind == key_kind::file) file_value(number, key, value);
    if (known->kind == key_kind::on_switch && value != "1" && looks_on(value.c_str())) {
      warn(number, quoted(key, value) + " is off: only exactly 1 switches it on");
    }
    if (known->kind == key_kind::number) number_value(number, key, value);
  }

  // Findings about the configuration as a whole, as the agent reads it.
  void whole(const taglist* config) {
    if (*get_taglist_default(config, "VANTOR_HOST", "") == '\0') {
      error(line_of("VANTOR_HOST"), "VANTOR_HOST is not set: the agent has no server to reach");
    }
    for (int id = 0; id < static_cast<int>(FEATURE_ID_COUNT); ++id) {
      if (__udp_client_feature_support(config, static_cast<uint32_t>(id))) feature(config, id);
    }
    repeats(config);
    config_source(config);
    log_target(config);
    shared_triggers(config);
    // The files the agent writes, or reads to upload them (judged on this
    // system only: a staged tree's owners are not the device's).
    const struct {
      const char* key;
      int feature;
    } kSharedFiles[] = {{"DEVICE_LOG_PATH", kNoFeature},
                        {"DEVICE_INTERFACE_FILE", kNoFeature},
                        {"FEATURE_CONFIG_SOURCE", FEATURE_ID_CONFIG},
                        {"FEATURE_REPORT_SOURCE", FEATURE_ID_REPORT}};
    for (const auto& file : kSharedFiles) {
      if (!root_.empty()) break;
      std::string value = get_taglist_default(config, file.key, "");
      bool used = file.feature == kNoFeature ||
                  __udp_client_feature_support(config, static_cast<uint32_t>(file.feature));
      if (value.empty() || !used) continue;
      std::string risk = shared_path_risk(value);
      if (!risk.empty()) {
        warn(first_line_[file.key],
             quoted(file.key, value) + " " + risk + ": use a directory only root can write");
      }
    }
  }

  check_status report(std::vector<std::string>* out) {
    // Whole-file findings (line 0) after those of the lines.
    std::stable_sort(findings_.begin(), findings_.end(), [](const finding& a, const finding& b) {
      return static_cast<unsigned>(a.line - 1) < static_cast<unsigned>(b.line - 1);
    });
    check_status status = check_clean;
    for (const finding& f : findings_) {
      std::string where = f.line ? path_ + ":" + std::to_string(f.line) : path_;
      out->push_back(where + (f.error ? ": error: " : ": warning: ") + f.text);
      status = std::max(status, f.error ? check_errors : check_warnings);
    }
    return status;
  }

  void warn(int line, std::string text) { findings_.push_back({line, false, std::move(text)}); }
  void error(int line, std::string text) { findings_.push_back({line, true, std::move(text)}); }

 private:
  void number_value(int number, const std::string& key, const std::string& value) {
    number_reading r = read_number(value.c_str());
    if (!r.in_range) {
      warn(number, quoted(key, value) + " is out of range for a number");
      return;
    }
    if (!r.complete) warn(number, quoted(key, value) + " reads as " + std::to_string(r.value));
    if (r.value < 0 && (ends_with(key, "_START_DELTA") || ends_with(key, "_REPEAT_DELTA"))) {
      uint32_t spread = static_cast<uint32_t>(atol(value.c_str()));
      warn(number, quoted(key, value) + " is negative: the agent takes it as a spread of " + std::to_string(spread) +
                       " s (about " + std::to_string(spread / 31557600) + " years)");
    }
    for (const setting_rule* rule : kSettingRules) {
      if (key != rule->key) continue;
      int32_t n = setting_number(*rule, value.c_str());
      int32_t in_force = setting_value(*rule, value.c_str());
      if (n < 1) {
        warn(number, quoted(key, value) + " reads as " + std::to_string(n) + ", below 1: the agent uses " +
                         std::to_string(in_force));
      } else if (n < rule->min || n > rule->max) {
        warn(number, quoted(key, value) + " is outside " + std::to_string(rule->min) + ".." +
                         std::to_string(rule->max) + ": the agent uses " + std::to_string(rule->fallback));
      }
    }
  }

  void feature(const taglist* config, int id) {
    std::string support = support_key(id);
    int line = line_of(support);
    for (size_t i = 0; i < kKnownKeyCount; ++i) {
      const known_key& k = kKnownKeys[i];
      if (k.feature != id) continue;
      const char* value = get_taglist_default(config, k.name, "");
      std::string name = k.name;
      bool command = k.kind == key_kind::command || k.kind == key_kind::needed_command;
      if ((k.kind == key_kind::needed_command || k.kind == key_kind::url_path) && *value == '\0') {
        error(line, support + " is on but " + name + " is not set" +
                        (k.kind == key_kind::url_path ? ": its requests would go to https://VANTOR_HOST/" : ""));
      } else if (command && *value != '\0') {
        command_value(name, value);
      } else if (ends_with(name, "_TIMEOUT") && atol(value) <= 0) {
        warn(line, support + " is on but " + name + " is 0 or not set: every run ends at once");
      }
    }
  }

  // A command as /bin/sh will take it, its first word looked for in the
  // file system the checker was given.
  void command_value(const std::string& name, const char* value) {
    shell_reading sh = read_shell_command(value);
    if (sh.unpaired_quote) {
      bool comment = comment_in_value(value) != std::string::npos;
      error(line_of(name), name + " leaves a quote open, so /bin/sh cannot run it" +
                               (comment ? " (a \"#\" after the value belongs to it)" : "") + ": " + value);
    } else if (!command_runs(sh.first_word, root_)) {
      error(line_of(name), name + " does not start with an executable file" + (root_.empty() ? "" : " in " + root_) +
                               ": " + value);
    }
  }

  // A path on the device: its directory must be there (in the staged root,
  // where one is given; what a device makes at run time is not judged).
  void file_value(int number, const std::string& key, const std::string& value) {
    if (value[0] != '/') return;
    std::string dir = value.back() == '/' ? value.substr(0, value.size() - 1) : value.substr(0, value.rfind('/'));
    if (dir.empty() || directory_in_root(dir, root_)) return;
    warn(number, quoted(key, value) + ": there is no directory " + dir + (root_.empty() ? "" : " in " + root_));
  }

  // A feature that repeats with no interval runs again as soon as it ends;
  // the report without a repeat does that too, as its schedule stays due.
  void repeats(const taglist* config) {
    for (uint32_t id : kAutoFeatures) {
      if (!__udp_client_feature_support(config, id)) continue;
      std::string feature = support_key(static_cast<int>(id));
      feature.erase(feature.size() - 8);  // FEATURE_<F>
      int32_t interval = 0;
      uint32_t spread = 0;
      bool repeat = __udp_client_get_auto_repeat_info(config, id, &interval, &spread) != 0;
      if (repeat && interval <= 0 && spread == 0) {
        warn(line_of(feature + "_AUTO_REPEAT"), feature + "_AUTO_REPEAT is on but " + feature +
                                                    "_AUTO_REPEAT_INTERVAL is not above 0: "
                                                    "it runs again as soon as it ends");
      } else if (!repeat && id == FEATURE_ID_REPORT) {
        warn(line_of(feature + "_SUPPORT"), feature + "_SUPPORT is on but " + feature +
                                                "_AUTO_REPEAT is off: "
                                                "a new report starts as soon as the last one ends");
      }
    }
  }

  void config_source(const taglist* config) {
    if (!__udp_client_feature_support(config, FEATURE_ID_CONFIG)) return;
    std::string source = get_taglist_default(config, "FEATURE_CONFIG_SOURCE", "");
    if (source.size() <= kConfigSourceMax) return;
    error(line_of("FEATURE_CONFIG_SOURCE"), "FEATURE_CONFIG_SOURCE is " + std::to_string(source.size()) +
                                                " characters long: the sync request takes only " +
                                                std::to_string(kConfigSourceMax) + " and uploads " +
                                                source.substr(0, kConfigSourceMax));
  }

  void log_target(const taglist* config) {
    std::string path = get_taglist_default(config, "DEVICE_LOG_PATH", "");
    const char* size = get_taglist_default(config, "DEVICE_LOG_FILE_SIZE", "");
    uint32_t limit = *size ? static_cast<uint32_t>(atol(size)) : kDefaultLogSize;
    if (limit == 0 || !(starts_with(path, "/dev/") || starts_with(path, "/proc/"))) return;
    warn(line_of("DEVICE_LOG_PATH"), "DEVICE_LOG_PATH is " + path + " with a size limit of " + std::to_string(limit) +
                                         " bytes: the limit is for a log file; set DEVICE_LOG_FILE_SIZE=\"0\"");
  }

  // The supervision loop looks for the interface update file, then the
  // configuration trigger, then the GPS trigger, and deletes each file it
  // acts on: a file shared by two of them only ever reaches the first.
  void shared_triggers(const taglist* config) {
    feature_trigger config_trigger, gps_trigger;
    strcpy(config_trigger.file, "/tmp/syncConfig.now");
    strcpy(gps_trigger.file, "/tmp/syncConfig.now");
    __udp_client_get_config_trigger(config, &config_trigger);
    __udp_client_get_gps_trigger(config, &gps_trigger);
    struct watched {
      const char* file_key;
      const char* enable_key;
      bool on;
      std::string file;
      const char* feature;
    } files[] = {
        {"DEVICE_INTERFACE_UPDATE", "DEVICE_INTERFACE_UPDATE", true,
         get_taglist_default(config, "DEVICE_INTERFACE_UPDATE", "/tmp/interface.update"), "the interface update"},
        {"FEATURE_CONFIG_TRIGGER_FILE", "FEATURE_CONFIG_TRIGGER_SUPPORT", config_trigger.enabled != 0,
         config_trigger.file, "configuration sync"},
        {"FEATURE_GPSDATA_TRIGGER_FILE", "FEATURE_GPSDATA_TRIGGER_SUPPORT", gps_trigger.enabled != 0,
         gps_trigger.file, "GPS submission"},
    };
    for (size_t later = 1; later < sizeof files / sizeof files[0]; ++later) {
      for (size_t first = 0; first < later; ++first) {
        const watched& a = files[first];
        const watched& b = files[later];
        if (!a.on || !b.on || a.file != b.file) continue;
        int line = line_of(b.file_key) ? line_of(b.file_key) : line_of(b.enable_key);
        warn(line, std::string(a.file_key) + " and " + b.file_key + " are both " + a.file + ": when it appears, only " +
                       a.feature + " sees it");
      }
    }
  }

  int line_of(const std::string& key) const {
    auto found = first_line_.find(key);
    return found == first_line_.end() ? 0 : found->second;
  }

  std::string path_;
  std::string root_;  // the staged root file system, "" for this system's own
  std::map<std::string, int> first_line_;
  std::vector<finding> findings_;
};

}  // namespace

check_status check_configuration(const std::string& path, std::vector<std::string>* findings,
                                 const std::string& root) {
  checker check(path, root);
  owned_file file(fopen(path.c_str(), "re"));
  if (!file) {
    findings->push_back(path + ": error: cannot be read (" + strerror(errno) +
                        "): the agent logs \"Config file err\" and exits");
    return check_errors;
  }
  // Line by line with the store's own line rules, to tell where each
  // setting comes from.
  char piece[kMaxLine + 1];
  int number = 0;
  bool line_start = true;
  while (fgets(piece, sizeof piece, file.get()) != nullptr) {
    if (line_start) ++number;
    line_start = strchr(piece, '\n') != nullptr;
    owned_by<tagitem, free_tagitem> item(__parse_tagitem(piece));
    if (item) check.line(number, item->tag, item->value);
  }
  // The whole file exactly as the agent loads it.
  taglist_ptr config(load_taglist_ex(path.c_str(), 1));
  if (!config || config->count == 0) {
    check.error(0, "holds no setting: the agent logs \"Config file err\" and exits");
  } else {
    check.whole(config.get());
  }
  return check.report(findings);
}
