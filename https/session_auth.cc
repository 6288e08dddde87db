#include "https/session_auth.h"

#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "https/https_files.h"
#include "https/https_transport.h"
#include "https/multipart_body.h"
#include "platform/clock.h"
#include "platform/identity.h"
#include "platform/owned.h"
#include "platform/paths.h"
#include "platform/stop.h"
#include "platform/private_dir.h"
#include "platform/safe_file.h"

namespace {

// The status files of WAN links are numbered below this; a higher index
// never has an interface, so the walk need not go further.
constexpr int kMaxWanIndex = 99;

bool present(const char* s) { return s != nullptr && s[0] != '\0'; }

// Reads one answer line, line end included; "" at the end of the file.
// An overlong line is kept to its first 1023 bytes, the rest skipped.
std::string read_line(FILE* f) {
  std::string line;
  int c;
  while ((c = getc(f)) != EOF) {
    if (line.size() < kAuthHostSize - 1) line.push_back(static_cast<char>(c));
    if (c == '\n') break;
  }
  return line;
}

// The port line: a decimal number, accepted from 1 to 65534.
bool parse_port(const std::string& line, int* port) {
  long v = strtol(line.c_str(), nullptr, 10);
  if (v < 1 || v > 65534) return false;
  *port = static_cast<int>(v);
  return true;
}

}  // namespace

int parse_auth_answer(FILE* in, char* key_out, char* host_out, int* port_out) {
  if (read_line(in).compare(0, 9, "302 Found") != 0) return AUTH_NOT_REDIRECTED;

  // The key is the first 16 characters of its line; the line end counts
  // toward the length, so a 15-character key keeps its line feed.
  std::string key = read_line(in);
  if (key.size() < 16) return AUTH_NO_ANSWER;
  memcpy(key_out, key.data(), 16);
  key_out[16] = '\0';

  std::string host_line = read_line(in);
  if (host_line.size() < 4) return AUTH_NO_ANSWER;
  size_t host_len = strcspn(host_line.c_str(), " \r\n");
  if (host_len > kAuthHostSize - 1) host_len = kAuthHostSize - 1;
  memcpy(host_out, host_line.data(), host_len);
  host_out[host_len] = '\0';
  // A line that begins with a blank names no host at all.
  if (host_len == 0) return AUTH_NO_ANSWER;

  int port = 0;
  if (!parse_port(read_line(in), &port)) return AUTH_NO_ANSWER;
  if (port_out != nullptr) *port_out = port;
  return AUTH_GRANTED;
}

namespace {

void copy_field(char* dst, size_t size, const char* src) {
  if (src == nullptr) src = "";
  size_t n = strnlen(src, size - 1);
  memcpy(dst, src, n);
  dst[n] = '\0';
}

// Replaces an owned text by a copy made beforehand.
void replace_text(char** field, owned_text fresh) {
  owned_text old(*field);
  *field = fresh.release();
}

}  // namespace

int auth_exchange(const https_request* request, const char* body_path, const char* interface,
                  char* key_out, char* host_out, int* port_out) {
  if (request == nullptr || body_path == nullptr || key_out == nullptr || host_out == nullptr) {
    return AUTH_NO_ANSWER;
  }
  try {
    std::string output = private_path(https_files::kAuthOutput);
    // The device's command line: "wget_https -q -T10 [-i<if>] -f<body>
    // -O<output> "<url>"", here as separate words.
    std::vector<std::string> args = {"-q", "-T10"};
    if (present(interface)) args.push_back(std::string("-i") + interface);
    args.push_back(std::string("-f") + body_path);
    args.push_back("-O" + output);
    args.push_back(std::string(request->url, strnlen(request->url, sizeof(request->url))));
    if (https_run_fetch_tool(args) != 0) return AUTH_NO_ANSWER;

    int result;
    {
      int fd = open_regular_file(output.c_str());
      owned_file in(fd >= 0 ? fdopen(fd, "r") : nullptr);
      if (fd >= 0 && !in) close(fd);
      result = in ? parse_auth_answer(in.get(), key_out, host_out, port_out) : AUTH_NO_ANSWER;
    }
    unlink(output.c_str());
    return result;
  } catch (...) {
    return AUTH_NO_ANSWER;
  }
}

int vantor_udps_get_auth(const https_request* request, char* key_out, char* host_out, int* port_out,
                         char* interface_out) {
  if (request == nullptr || interface_out == nullptr) return AUTH_NO_ANSWER;
  try {
    std::string body_path = private_path(https_files::kAuthBody);
    std::string body = "serial=" + field_text(request->serial, sizeof(request->serial)) +
                       "&model=" + field_text(request->model, sizeof(request->model)) +
                       "&variant=" + field_text(request->variant, sizeof(request->variant)) +
                       "&version=" + field_text(request->version, sizeof(request->version)) +
                       "&time=" + std::to_string(static_cast<int64_t>(vt_time()));
    {
      owned_file f(https_create_private_file(body_path.c_str()));
      if (!f) return AUTH_NO_ANSWER;
      bool ok = fwrite(body.data(), 1, body.size(), f.get()) == body.size();
      if (fclose(f.release()) != 0 || !ok) {
        unlink(body_path.c_str());
        return AUTH_NO_ANSWER;
      }
    }

    int result = AUTH_NO_ANSWER;
    int wans = get_wancount();
    if (wans == 1) {
      result = auth_exchange(request, body_path.c_str(), nullptr, key_out, host_out, port_out);
      interface_out[0] = '\0';
    } else if (wans > 1) {
      int last = wans < kMaxWanIndex ? wans : kMaxWanIndex;
      // A stop ends the walk: each link could cost a whole tool time-out.
      for (int i = 1; i <= last && !vt_stop_requested(); ++i) {
        const char* name = get_connection_interface(static_cast<unsigned int>(i));
        if (!present(name)) continue;
        // Copy before the exchange: the name lives in shared storage.
        char chosen[kAuthInterfaceSize];
        copy_field(chosen, sizeof(chosen), name);
        result = auth_exchange(request, body_path.c_str(), chosen, key_out, host_out, port_out);
        if (result != AUTH_NO_ANSWER) {
          // Any answer ends the walk, a refusal included.
          copy_field(interface_out, kAuthInterfaceSize, chosen);
          break;
        }
      }
    }
    unlink(body_path.c_str());
    return result;
  } catch (...) {
    unlink(private_path(https_files::kAuthBody).c_str());
    return AUTH_NO_ANSWER;
  }
}

int __vantor_udp_client_udps_get_auth(const char* serial, const char* model, const char* variant,
                                      const char* version, char** session_key,
                                      std::atomic<uint32_t>* reconnect_requested,
                                      vantor_log_func log, char** server_host,
                                      uint32_t* server_port, char** interface_name,
                                      const char* default_host, const char* registration_path,
                                      const char* interface_file) {
  https_request request;
  memset(&request, 0, sizeof(request));
  snprintf(request.url, sizeof(request.url), "https://%s/%s",
           default_host != nullptr ? default_host : "",
           registration_path != nullptr ? registration_path : "");
  copy_field(request.serial, sizeof(request.serial), serial);
  copy_field(request.model, sizeof(request.model), model);
  copy_field(request.variant, sizeof(request.variant), variant);
  copy_field(request.version, sizeof(request.version), version);

  char key[kSessionKeySize] = {};
  char host[kAuthHostSize] = {};
  char iface[kAuthInterfaceSize] = {};
  int port = 0;
  int result = vantor_udps_get_auth(&request, key, host, &port, iface);

  if (result == AUTH_GRANTED && session_key != nullptr && server_host != nullptr &&
      interface_name != nullptr) {
    // Copy all three first, so that a lack of memory leaves the old
    // credentials whole instead of half replaced.
    owned_text new_key(strdup(key)), new_host(strdup(host)), new_iface(strdup(iface));
    if (new_key && new_host && new_iface) {
      replace_text(session_key, std::move(new_key));
      replace_text(server_host, std::move(new_host));
      replace_text(interface_name, std::move(new_iface));
      if (server_port != nullptr) *server_port = static_cast<uint32_t>(port);
      if (reconnect_requested != nullptr) reconnect_requested->store(0);
      __vantor_udp_client_log_interface(interface_file, *interface_name, log);
      if (log != nullptr) {
        log(VT_LOG_INFO, "Target Server (%s:%d) using interface %s\n", *server_host, port,
            *interface_name != nullptr ? *interface_name : "Default");
      }
      return 0;
    }
  }
  if (log != nullptr) log(VT_LOG_ERR, "Get AUTH Fail");
  return result == AUTH_NOT_REDIRECTED ? 1 : -1;
}

int __vantor_udp_client_log_interface(const char* path, const char* interface,
                                      vantor_log_func log) {
  if (path == nullptr || interface == nullptr) {
    if (log != nullptr) log(VT_LOG_NOTICE, "Log interface NULL pointer");
    return 0;
  }
  // Other programs read this file at its fixed name: it is replaced whole,
  // never written through a link or FIFO planted there.
  return replace_file(path, interface, strlen(interface), 0644) ? 1 : 0;
}
