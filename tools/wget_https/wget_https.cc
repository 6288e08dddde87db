// wget_https: the router firmware's HTTPS fetch tool, as the agent uses it.
//
// POSTs the bytes of the -f file (or GETs when there is none) to the URL,
// with the header lines of the -e file added, and writes into the -O file
// the answer's status ("302 Found": code and reason phrase, the standard
// phrase when the server sent none) on its own line, followed by the body.
// Redirects are not followed: a 302 is an answer like any other.
//
// The body goes to the file as it arrives, never held whole in memory. An
// answer whose body passes kMaxAnswerBytes (8 MiB) is not taken: the
// transfer stops, the output file is removed and the tool fails.
//
// Exit status: 0 when the exchange completed, whatever the HTTP status;
// 2 bad command line or unreadable input file; 3 output file not written;
// 4 network failure or time-out; 5 TLS failure; 6 answer too large.
//
// The server's certificate is always verified: against the system's CA
// store, or, when WGET_HTTPS_CA_FILE names a PEM file, against the CA
// certificates in that file alone. Nothing turns verification off.
#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "options.h"
#include "reason_phrases.h"

namespace {

enum Exit { kOk = 0, kUsage = 2, kOutput = 3, kNetwork = 4, kTls = 5, kTooLarge = 6 };

// The largest answer body the tool takes.
constexpr size_t kMaxAnswerBytes = 8 * 1024 * 1024;

// The answer as it arrives: the reason phrase from the headers, the body
// streamed into the output file (opened, status line first, at the first
// body bytes or at the end for an empty body).
struct Answer {
  CURL* curl = nullptr;
  std::string path;  // "" when no output file was asked for
  int fd = -1;
  std::string reason;
  size_t body_bytes = 0;
  bool too_large = false;
  bool write_failed = false;
};

bool read_file(const std::string& path, std::string* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream ss;
  ss << in.rdbuf();
  *out = ss.str();
  return !in.bad();
}

// Keeps the reason phrase of the last status line seen (an interim
// "100 Continue" is replaced by the final answer's).
size_t on_header(char* data, size_t size, size_t n, void* user) {
  auto* answer = static_cast<Answer*>(user);
  std::string line(data, size * n);
  if (line.compare(0, 5, "HTTP/") == 0) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    size_t sp = line.find(' ');  // after the version
    size_t sp2 = sp == std::string::npos ? sp : line.find(' ', sp + 1);
    answer->reason = sp2 == std::string::npos ? "" : line.substr(sp2 + 1);
  }
  return size * n;
}

bool write_all(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t w = write(fd, data, size);
    if (w <= 0) return false;
    data += w;
    size -= static_cast<size_t>(w);
  }
  return true;
}

// Creates the output file (mode 0600, never through a symbolic link planted
// at its name) and writes the status line as the agent's parsers read it.
bool open_output(Answer* answer) {
  if (answer->fd >= 0) return true;
  long code = 0;
  curl_easy_getinfo(answer->curl, CURLINFO_RESPONSE_CODE, &code);
  answer->fd =
      open(answer->path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (answer->fd < 0) return false;
  std::string reason = answer->reason.empty() ? standard_reason_phrase(code) : answer->reason;
  std::string line = std::to_string(code);
  if (!reason.empty()) line += " " + reason;
  line += "\n";
  return write_all(answer->fd, line.data(), line.size());
}

size_t on_body(char* data, size_t size, size_t n, void* user) {
  auto* answer = static_cast<Answer*>(user);
  size_t bytes = size * n;
  answer->body_bytes += bytes;
  if (answer->body_bytes > kMaxAnswerBytes) {
    answer->too_large = true;
    return 0;  // stops the transfer
  }
  if (answer->path.empty()) return bytes;
  if (!open_output(answer) || !write_all(answer->fd, data, bytes)) {
    answer->write_failed = true;
    return 0;
  }
  return bytes;
}

bool is_tls_failure(CURLcode rc) {
  switch (rc) {
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_SHUTDOWN_FAILED:
      return true;
    default:
      return false;
  }
}

// Extra request header lines, one per line of the file; blank lines skipped.
curl_slist* read_headers(const std::string& text) {
  curl_slist* list = nullptr;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    if (!line.empty()) list = curl_slist_append(list, line.c_str());
  }
  // A large body would otherwise wait for "100 Continue" first.
  return curl_slist_append(list, "Expect:");
}

int fail(const FetchOptions& o, int status, const std::string& message) {
  if (!o.quiet) fprintf(stderr, "wget_https: %s\n", message.c_str());
  return status;
}

int fetch(const FetchOptions& o) {
  std::string body, headers;
  if (!o.body_file.empty() && !read_file(o.body_file, &body)) {
    return fail(o, kUsage, "cannot read " + o.body_file);
  }
  if (!o.header_file.empty() && !read_file(o.header_file, &headers)) {
    return fail(o, kUsage, "cannot read " + o.header_file);
  }

  CURL* curl = curl_easy_init();
  if (curl == nullptr) return fail(o, kNetwork, "cannot start libcurl");
  curl_slist* header_list = read_headers(headers);
  Answer answer;
  answer.curl = curl;
  answer.path = o.output_file;

  curl_easy_setopt(curl, CURLOPT_URL, o.url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "https");
  curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(curl, CURLOPT_PROXY, "");  // the device talks to its server directly
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
  if (const char* ca = getenv("WGET_HTTPS_CA_FILE"); ca != nullptr && ca[0] != '\0') {
    curl_easy_setopt(curl, CURLOPT_CAINFO, ca);
    curl_easy_setopt(curl, CURLOPT_CAPATH, nullptr);  // that file alone
  }
  if (o.timeout_seconds > 0) {
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, o.timeout_seconds);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, o.timeout_seconds);
  }
  std::string interface = "if!" + o.interface;
  if (!o.interface.empty()) curl_easy_setopt(curl, CURLOPT_INTERFACE, interface.c_str());
  if (!o.body_file.empty()) {
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
  }
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, header_list);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, on_header);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &answer);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, on_body);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);

  CURLcode rc = curl_easy_perform(curl);
  bool written = rc == CURLE_OK && (answer.path.empty() || open_output(&answer));
  if (answer.fd >= 0 && close(answer.fd) != 0) written = false;
  curl_slist_free_all(header_list);
  curl_easy_cleanup(curl);

  if (written) return kOk;
  // No half answer is left behind for the agent to read.
  if (answer.fd >= 0) unlink(answer.path.c_str());
  if (answer.too_large) {
    return fail(o, kTooLarge, "answer larger than " + std::to_string(kMaxAnswerBytes) + " bytes");
  }
  if (answer.write_failed || rc == CURLE_OK) {
    return fail(o, kOutput, "cannot write " + o.output_file);
  }
  return fail(o, is_tls_failure(rc) ? kTls : kNetwork, curl_easy_strerror(rc));
}

}  // namespace

int main(int argc, char** argv) {
  FetchOptions options;
  std::string error;
  if (!parse_fetch_options(argc, argv, &options, &error)) {
    fprintf(stderr,
            "wget_https: %s\nusage: wget_https [-q] [-T<seconds>] [-f<body file>] "
            "[-O<output file>] [-i<interface>] [-e<header file>] <url>\n",
            error.c_str());
    return kUsage;
  }
  if (curl_global_init(CURL_GLOBAL_DEFAULT) != 0) return kNetwork;
  int status = fetch(options);
  curl_global_cleanup();
  return status;
}
