#include "tools/checkconf/check.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>

#include "daemon/scheduler.h"
#include "features/setting_rules.h"
#include "platform/taglist.h"
#include "tools/checkconf/known_keys.h"
#include "tools/checkconf/values.h"

namespace {

constexpr size_t kMaxLine = 8191;  // the store reads longer lines in pieces of this size

struct finding {
  int line;  // 0 = about the whole file, listed after the lines
  bool error;
  std::string text;
};

struct file_closer {
  void operator()(FILE* f) const { fclose(f); }
};

std::string quoted(const std::string& key, const std::string& value) { return key + "=\"" + value + "\""; }

class checker {
 public:
  explicit checker(std::string path) : path_(std::move(path)) {}

  // One key=value line as the store parses it; the first line of a key wins.
  void line(int number, const std::string& key, const std::string& value) {
    auto first = first_line_.find(key);
    if (first != first_line_.end()) {
      warn(number, key + " is set again: the first setting, on line " + std::to_string(first->second) + ", wins");
      return;
    }
    first_line_[key] = number;
    const known_key* known = find_known_key(key.c_str());
    if (known == nullptr) {
      std::string nearest = nearest_key(key);
      warn(number, "unknown key \"" + key + "\"" + (nearest.empty() ? "" : " (did you mean " + nearest + "?)"));
      return;
    }
    if (value.empty()) return;  // not set: the default applies
    if (known->kind == key_kind::on_switch && value != "1" && looks_on(value.c_str())) {
      warn(number, quoted(key, value) + " is off: only exactly 1 switches it on");
    }
    if (known->kind == key_kind::number) number_value(number, key, value);
  }

  // Findings about the configuration as a whole, as the agent reads it.
  void whole(const taglist* config) {
    if (*get_taglist_default(config, "VANTOR_HOST", "") == '\0') {
      error(0, "VANTOR_HOST is not set: the agent has no server to reach");
    }
    for (int id = 0; id < static_cast<int>(FEATURE_ID_COUNT); ++id) {
      if (__udp_client_feature_support(config, static_cast<uint32_t>(id))) feature(config, id);
    }
    // The files the agent writes, or reads to upload them.
    const struct {
      const char* key;
      int feature;
    } kSharedFiles[] = {{"DEVICE_LOG_PATH", kNoFeature},
                        {"DEVICE_INTERFACE_FILE", kNoFeature},
                        {"FEATURE_CONFIG_SOURCE", FEATURE_ID_CONFIG},
                        {"FEATURE_REPORT_SOURCE", FEATURE_ID_REPORT}};
    for (const auto& file : kSharedFiles) {
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
    std::string support;
    for (size_t i = 0; i < kKnownKeyCount; ++i) {
      const known_key& k = kKnownKeys[i];
      std::string name = k.name;
      if (k.feature == id && name.size() > 8 && name.compare(name.size() - 8, 8, "_SUPPORT") == 0 &&
          name.find("TRIGGER") == std::string::npos) {
        support = name;
      }
    }
    int line = first_line_.count(support) ? first_line_[support] : 0;
    for (size_t i = 0; i < kKnownKeyCount; ++i) {
      const known_key& k = kKnownKeys[i];
      if (k.feature != id) continue;
      const char* value = get_taglist_default(config, k.name, "");
      std::string name = k.name;
      if (k.kind == key_kind::needed_command && *value == '\0') {
        error(line, support + " is on but " + name + " is not set");
      } else if ((k.kind == key_kind::command || k.kind == key_kind::needed_command) && *value != '\0' &&
                 !command_runs(value)) {
        error(first_line_[name], name + " does not start with an executable file: " + value);
      } else if (name.size() > 8 && name.compare(name.size() - 8, 8, "_TIMEOUT") == 0 && atol(value) <= 0) {
        warn(line, support + " is on but " + name + " is 0 or not set: every run ends at once");
      }
    }
  }

  std::string path_;
  std::map<std::string, int> first_line_;
  std::vector<finding> findings_;
};

}  // namespace

check_status check_configuration(const std::string& path, std::vector<std::string>* findings) {
  checker check(path);
  std::unique_ptr<FILE, file_closer> file(fopen(path.c_str(), "r"));
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
    std::unique_ptr<tagitem, void (*)(tagitem*)> item(__parse_tagitem(piece), free_tagitem);
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
