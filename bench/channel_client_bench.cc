// Channel client under load, against the simulator (tools/vtsim) on loopback.
//
//  (a) reply latency: the simulator sends invitations one at a time and the
//      handler accepts at once; p50/p99 from the request's send to the
//      reply's arrival, measured by the simulator.
//  (b) flood: garbage datagrams and well-formed packets under a wrong key at
//      full speed while keepalives go on (every 5 s). Reports datagrams
//      handled per second and CPU microseconds per datagram of the receive
//      thread, beside a bare loop of recvfrom plus one EVP decryption fed the
//      same flood in the same run; resident memory before and after; whether
//      keepalive replies still settled their agenda items.
//
// Run by bench/run_channel_bench.sh (it builds the bench preset first).
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "channel/client.h"
#include "channel/packet_cipher.h"

extern char **environ;

namespace {

const char *kSerial = "00AABBCC0011";
const char *kKey = "benchbenchbench1";

std::atomic<int> reestablished{0};

// Writes nothing (the flood would otherwise be a test of the log file);
// counts the re-established sessions that the wrong-key flood provokes.
int quiet_log(int level, const char *format, ...) {
  if (level == 6 && std::strcmp(format, "Reestablish success") == 0) ++reestablished;
  return 0;
}
int accept_at_once(void *, uint32_t) { return 0; }

// The simulator as a child: commands on its stdin, event lines on its stdout.
class Sim {
 public:
  Sim() {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) std::exit(1);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_addclose(&fa, in[1]);
    posix_spawn_file_actions_addclose(&fa, out[0]);
    std::string workdir = "/tmp/vtsim-bench-" + std::to_string(getpid());
    std::vector<std::string> args = {"/usr/bin/python3", VTSIM_SCRIPT, "--serial", kSerial,
                                     "--key", kKey, "--workdir", workdir};
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), environ) != 0) std::exit(1);
    close(in[0]);
    close(out[1]);
    to_ = in[1];
    from_ = fdopen(out[0], "r");
  }
  ~Sim() {
    close(to_);
    for (int i = 0; i < 200 && waitpid(pid_, nullptr, WNOHANG) != pid_; ++i) usleep(10000);
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    fclose(from_);
  }
  void send(const std::string &line) {
    std::string text = line + "\n";
    if (write(to_, text.data(), text.size()) < 0) std::exit(1);
  }
  // Reads event lines until one starts with `name`; returns its fields.
  std::map<std::string, std::string> until(const std::string &name, const std::string &contains = "") {
    char line[8192];
    while (fgets(line, sizeof line, from_)) {
      std::string text(line);
      if (text.rfind(name + " ", 0) != 0 || text.find(contains) == std::string::npos) continue;
      std::map<std::string, std::string> fields;
      std::istringstream words(text);
      std::string word;
      while (words >> word) {
        auto eq = word.find('=');
        if (eq != std::string::npos) fields[word.substr(0, eq)] = word.substr(eq + 1);
      }
      return fields;
    }
    std::fprintf(stderr, "simulator ended early\n");
    std::exit(1);
  }

 private:
  pid_t pid_ = -1;
  int to_ = -1;
  FILE *from_ = nullptr;
};

double thread_cpu_seconds(pthread_t thread) {
  clockid_t id;
  timespec ts{};
  if (pthread_getcpuclockid(thread, &id) == 0) clock_gettime(id, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

long resident_kib() {
  long pages = 0, resident = 0;
  if (FILE *f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

vantor_udp_client_statistics snapshot(vantor_udp_client *c) {
  std::lock_guard<std::mutex> lock(c->statistics_mutex);
  return c->statistics;
}

// The bare loop: recvfrom and one AES-128-CBC decryption per datagram.
struct BareLoop {
  int sock = -1;
  int port = 0;
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> handled{0};
  std::thread thread;

  BareLoop() {
    sock = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(sock, reinterpret_cast<sockaddr *>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(sock, reinterpret_cast<sockaddr *>(&a), &len);
    port = ntohs(a.sin_port);
    timeval tv{0, 100000};
    setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    thread = std::thread([this] { run(); });
  }
  void run() {
    uint8_t datagram[600], plain[600];
    const uint8_t *key = reinterpret_cast<const uint8_t *>(kKey);
    while (!stop) {
      ssize_t n = recvfrom(sock, datagram, sizeof datagram, 0, nullptr, nullptr);
      if (n <= 0) continue;
      int out = 0;
      int length = n > 50 ? static_cast<int>((n - 50) & ~15) : 16;
      udp_aes_128_cbc_cipher(nullptr, n > 50 ? datagram + 50 : datagram, length, plain, &out, key,
                             datagram + (n > 50 ? 34 : 0), 0);
      handled.fetch_add(1, std::memory_order_relaxed);
    }
  }
  ~BareLoop() {
    stop = true;
    thread.join();
    close(sock);
  }
};

}  // namespace

int main() {
  setenv("PATH", (std::string(WGET_HTTPS_DIR) + ":" + std::getenv("PATH")).c_str(), 1);
  std::string root = "/tmp/vtclient-bench-" + std::to_string(getpid());
  std::string tmp = root + "/tmp";
  std::system(("mkdir -p " + tmp).c_str());
  setenv("VTCLIENT_ROOT", root.c_str(), 1);

  Sim sim;
  auto ready = sim.until("ready");
  setenv("WGET_HTTPS_CA_FILE", ready["ca"].c_str(), 1);
  std::string host = ready["https"];

  vantor_udp_client *client = create_vantor_udp_client(kSerial, "VX200", "EU", "2.1.0", 30, host.c_str(),
                                                       "udps/register", quiet_log, 10, nullptr);
  uint32_t keepalive = 5;
  vantor_udp_client_set_param(client, 5, &keepalive);
  vantor_udp_client_run(client);
  vantor_udp_client_set_handler(client, 1, reinterpret_cast<vantor_udp_client_handler>(accept_at_once));
  sim.until("recv", "what=keepalive");

  // (a) reply latency.
  sim.send("latency 2000 2");
  auto latency = sim.until("latency");
  std::printf("latency: %s invitations, %s answered, p50 %s us, p99 %s us, max %s us\n",
              latency["count"].c_str(), latency["answered"].c_str(), latency["p50_us"].c_str(),
              latency["p99_us"].c_str(), latency["max_us"].c_str());

  // (b) flood, three times over (longer than a keepalive interval, and to see
  // whether memory grows between rounds).
  BareLoop bare;
  pthread_t receiver = client->receive_thread.native_handle();
  long rss_start = resident_kib();
  auto flood_start = snapshot(client);
  for (int round = 1; round <= 3; ++round) {
    auto before = snapshot(client);
    double cpu_before = thread_cpu_seconds(receiver);
    auto start = std::chrono::steady_clock::now();
    sim.send("flood garbage 200000");
    sim.until("ok", "cmd=flood");
    sim.send("flood wrongkey 200000");
    sim.until("ok", "cmd=flood");
    // Let the last datagrams drain; then the keepalives must still settle.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    double cpu = thread_cpu_seconds(receiver) - cpu_before;
    auto after = snapshot(client);
    uint64_t handled = (after.header_errors - before.header_errors) + (after.decrypt_errors - before.decrypt_errors);
    std::printf("flood round %d: %llu of 400000 datagrams handled in %.2f s (%.0f/s), receive thread %.2f us CPU "
                "per datagram; keepalives settled during the round: %u; agenda items now: %u; RSS %ld KiB\n",
                round, static_cast<unsigned long long>(handled), seconds, handled / seconds,
                handled ? cpu * 1e6 / handled : 0.0, after.local_recv - before.local_recv,
                [&] {
                  std::lock_guard<std::mutex> lock(client->agenda_mutex);
                  return delivery_agenda_get_num_item(&client->agenda);
                }(),
                resident_kib());
  }

  auto flood_end = snapshot(client);
  std::printf("keepalives during the floods: %u transmitted, %u settled by their reply\n",
              flood_end.local_send - flood_start.local_send, flood_end.local_recv - flood_start.local_recv);

  // The bare loop, fed the same flood.
  double bare_cpu_before = thread_cpu_seconds(bare.thread.native_handle());
  auto bare_start = std::chrono::steady_clock::now();
  sim.send("flood garbage 200000 " + std::to_string(bare.port));
  sim.until("ok", "cmd=flood");
  sim.send("flood wrongkey 200000 " + std::to_string(bare.port));
  sim.until("ok", "cmd=flood");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  double bare_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - bare_start).count();
  double bare_cpu = thread_cpu_seconds(bare.thread.native_handle()) - bare_cpu_before;
  uint64_t bare_handled = bare.handled;
  std::printf("bare recvfrom+decrypt loop: %llu of 400000 datagrams in %.2f s (%.0f/s), %.2f us CPU per datagram\n",
              static_cast<unsigned long long>(bare_handled), bare_seconds, bare_handled / bare_seconds,
              bare_handled ? bare_cpu * 1e6 / bare_handled : 0.0);
  std::printf("memory: RSS %ld KiB before the floods, %ld KiB after\n", rss_start, resident_kib());
  // Runs of 20 undecryptable packets ask for a new session; the receive
  // thread acts on it at its next idle moment (and at most every 10 s), so
  // it comes once the flood pauses. The new session must carry keepalives.
  auto before_wait = snapshot(client);
  for (int i = 0; i < 150 && (reestablished == 0 || snapshot(client).local_recv == before_wait.local_recv); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  std::printf("after the floods: sessions re-established %d, keepalives settled since %u\n",
              reestablished.load(), snapshot(client).local_recv - before_wait.local_recv);

  destroy_vantor_udp_client(client);
  std::system(("rm -rf " + root).c_str());
  return 0;
}
