#include "tools/status/status.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "platform/json.h"
#include "platform/paths.h"
#include "platform/safe_file.h"

namespace {

enum exit_status { kConnected = 0, kNotConnected = 1, kNotRunning = 2, kUsage = 3 };

// A snapshot is a few KiB; anything much larger is not one.
constexpr size_t kMaxSnapshot = 65536;
constexpr int kSchema = 1;

void usage(FILE* out, const char* program) {
  fprintf(out,
          "Usage: %s [--json]\n"
          "  Shows what the vtclient agent is doing; --json prints its status snapshot.\n"
          "  Exit status: 0 connected, 1 running but not connected,\n"
          "  2 not running (or its snapshot is stale), 3 usage error.\n",
          program);
}

// The snapshot's text, read only from a regular file in a directory that
// only its owner can change, owned by that same user (the agent).
bool read_snapshot(const std::string& dir, std::string* text, std::string* why) {
  struct stat d;
  if (lstat(dir.c_str(), &d) != 0) {
    *why = "no status directory " + dir;
    return false;
  }
  if (!S_ISDIR(d.st_mode) || (d.st_mode & 022) != 0) {
    *why = dir + " is not the agent's status directory (a link, or writable by others)";
    return false;
  }
  const std::string path = dir + "/status.json";
  const int fd = open_regular_file(path.c_str());
  if (fd < 0) {
    *why = "no status snapshot " + path;
    return false;
  }
  struct stat f;
  bool ok = fstat(fd, &f) == 0 && f.st_uid == d.st_uid && static_cast<size_t>(f.st_size) <= kMaxSnapshot;
  if (ok) {
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0 && text->size() <= kMaxSnapshot) {
      text->append(buffer, static_cast<size_t>(n));
    }
    ok = n == 0 && text->size() <= kMaxSnapshot;
  }
  close(fd);
  if (!ok) *why = path + " is not a status snapshot of the agent";
  return ok;
}

const json_value* at(const json_value& root, const char* section, const char* name) {
  const json_value* s = root.get(section);
  return s ? s->get(name) : nullptr;
}

long long number_of(const json_value* v) {
  return v && v->is(json_value::kind::number) ? std::llround(v->number) : 0;
}

std::string text_of(const json_value* v) { return v && v->is(json_value::kind::string) ? v->text : ""; }

// A time as the log shows it, with how long ago it was.
std::string when(const json_value* v, time_t now) {
  const long long t = number_of(v);
  if (t == 0) return "never";
  const time_t tt = static_cast<time_t>(t);
  char text[64] = "";
  struct tm local;
  if (localtime_r(&tt, &local) == nullptr || strftime(text, sizeof text, "%a %b %d %T %Z %Y", &local) == 0)
    snprintf(text, sizeof text, "%lld", t);
  const long long ago = static_cast<long long>(now) - t;
  return std::string(text) + (ago >= 0 ? " (" + std::to_string(ago) + " s ago)" : "");
}

bool pid_alive(long long pid) {
  if (pid <= 0 || pid != static_cast<pid_t>(pid)) return false;
  return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

void print_summary(const json_value& root, time_t now, const std::string& verdict) {
  printf("%s\n", verdict.c_str());
  printf("agent: vtclient %s, pid %lld, started %s, cycle %lld (%s)\n",
         text_of(at(root, "agent", "version")).c_str(), number_of(at(root, "agent", "pid")),
         when(at(root, "agent", "started"), now).c_str(), number_of(at(root, "agent", "cycles")),
         text_of(at(root, "agent", "cycle_reason")).c_str());

  const std::string host = text_of(at(root, "channel", "server_host"));
  const std::string iface = text_of(at(root, "channel", "interface"));
  printf("channel: %s, server %s:%lld via %s\n", text_of(at(root, "channel", "state")).c_str(),
         host.c_str(), number_of(at(root, "channel", "server_port")), iface.empty() ? "Default" : iface.c_str());
  printf("  session since %s, %lld established\n", when(at(root, "channel", "session_start"), now).c_str(),
         number_of(at(root, "channel", "sessions")));
  printf("  last from the server %s\n", when(at(root, "channel", "last_server_message"), now).c_str());
  printf("  last keepalive sent %s\n", when(at(root, "channel", "last_keepalive_sent"), now).c_str());
  if (const json_value* st = at(root, "channel", "statistics")) {
    printf("  peer recv %lld send %lld, local recv %lld send %lld, errors: header %lld decrypt %lld seq %lld\n",
           number_of(st->get("peer_recv")), number_of(st->get("peer_send")), number_of(st->get("local_recv")),
           number_of(st->get("local_send")), number_of(st->get("header_errors")),
           number_of(st->get("decrypt_errors")), number_of(st->get("seq_errors")));
    if (const json_value* t = st->get("turnaround_ms"); t && t->is(json_value::kind::object)) {
      printf("  turnaround average %lld ms, min %lld, max %lld\n", number_of(t->get("average")),
             number_of(t->get("min")), number_of(t->get("max")));
    }
  }

  if (const json_value* features = root.get("features"); features && features->is(json_value::kind::object)) {
    printf("features:\n");
    bool any = false;
    for (const auto& [name, f] : features->members) {
      const json_value* result = f.get("result");
      const bool ran = result && result->is(json_value::kind::string);
      if (!ran && number_of(f.get("next_start")) == 0) continue;  // never ran, nothing planned
      any = true;
      printf("  %-14s %-10s", name.c_str(), ran ? result->text.c_str() : "-");
      if (ran) printf(" started %s", when(f.get("last_start"), now).c_str());
      if (number_of(f.get("next_start")) != 0) printf(", next %s", when(f.get("next_start"), now).c_str());
      printf("\n");
    }
    if (!any) printf("  none ran yet, none planned\n");
  }
  const json_value* spool = root.get("event_spool");
  const json_value* complete = spool ? spool->get("complete") : nullptr;
  printf("event spool: %s%lld files waiting\n",
         complete && complete->is(json_value::kind::boolean) && !complete->flag ? "at least " : "",
         number_of(spool ? spool->get("waiting") : nullptr));
  const json_value* error = root.get("last_error");
  if (error && error->is(json_value::kind::object)) {
    printf("last error: %s: %s\n", when(error->get("time"), now).c_str(), text_of(error->get("message")).c_str());
  } else {
    printf("last error: none\n");
  }
  printf("snapshot written %s\n", when(root.get("written"), now).c_str());
}

}  // namespace

int status_main(int argc, char** argv) {
  const char* program = argc > 0 && argv[0] ? argv[0] : "vtclient-status";
  bool json = false;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--json") == 0) {
      json = true;
    } else if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
      usage(stdout, program);
      return kConnected;
    } else {
      usage(stderr, program);
      return kUsage;
    }
  }

  std::string text, why;
  json_value root;
  if (!read_snapshot(system_path("/var/run/vtclient"), &text, &why)) {
    fprintf(stderr, "vtclient is not running: %s\n", why.c_str());
    return kNotRunning;
  }
  if (!json_parse(text, &root) || !root.is(json_value::kind::object) ||
      number_of(root.get("schema")) != kSchema) {
    fprintf(stderr, "vtclient-status: the status snapshot is damaged or of another schema\n");
    return kNotRunning;
  }

  const time_t now = time(nullptr);
  long long interval = number_of(root.get("write_interval"));
  if (interval <= 0 || interval > 3600) interval = 60;
  const long long age = static_cast<long long>(now) - number_of(root.get("written"));
  const long long pid = number_of(at(root, "agent", "pid"));
  const std::string state = text_of(at(root, "channel", "state"));

  int status;
  std::string verdict;
  if (!pid_alive(pid)) {
    status = kNotRunning;
    verdict = "vtclient is not running (pid " + std::to_string(pid) + " is gone); its last state:";
  } else if (age > 2 * interval) {
    // A clock set back gives a negative age: the next write comes within the interval.
    status = kNotRunning;
    verdict = "vtclient is not responding: its status snapshot is " + std::to_string(age) +
              " s old (written every " + std::to_string(interval) + " s); its last state:";
  } else if (state == "connected") {
    status = kConnected;
    verdict = "vtclient is connected";
  } else {
    status = kNotConnected;
    verdict = "vtclient is running but not connected (" + state + ")";
  }

  if (json) {
    fwrite(text.data(), 1, text.size(), stdout);
  } else {
    print_summary(root, now, verdict);
  }
  return status;
}
