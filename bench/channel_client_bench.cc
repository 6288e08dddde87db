// The channel client under a flood, against a floor measured in the same run.
//
// The client is authorised by the simulator (tools/vtsim) and logs through
// the agent's own logger into a file, as on a device. Then:
//
//  (a) CPU per rejected datagram. The receiving thread is parked (a signal
//      handler that blocks on a pipe), its socket buffer filled with N
//      datagrams by a native sender, the thread resumed, and the CPU time it
//      used until the last datagram was counted is divided by N: no sender,
//      scheduler or socket wake-up is charged, only the work per datagram.
//      Two kinds: garbage (fails the header check) and well-formed packets
//      under a wrong key (fail decryption).
//  (b) what the per-datagram liveness check costs: its work (one clock read
//      and a few comparisons) timed in a loop, as a share of (a).
//  (c) requests during a flood: a native server socket, where the client's
//      server address points, sends 3,000 invitations one at a time, without and then
//      with a native sender flooding garbage at full speed; replies counted,
//      p50/p99 of request-to-reply time.
//
// The floor, measured the same way in the same run, is the simplest program
// doing the necessary work: one thread, recv, the header checks (magic,
// kind, length, name), and for packets that pass them an AES-128-CBC
// decryption with one cipher context kept for the session (only the vector
// changes per packet) and the CRC; a valid request is answered at once.
//
// Run by scripts/bench.sh or bench/run_channel_bench.sh (bench preset).
#include <arpa/inet.h>
#include <openssl/evp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "channel/byte_order.h"
#include "channel/client.h"
#include "channel/crc.h"
#include "channel/packet_decoder.h"
#include "channel/vtrp_message.h"
#include "channel/vtrp_packet.h"
#include "channel/wire_time.h"
#include "platform/log.h"

extern char **environ;

namespace {

const char *kSerial = "00AABBCC0011";
const char *kKey = "benchbenchbench1";
constexpr int kDrainDatagrams = 20000;
constexpr int kDrainRounds = 5;
constexpr int kRequests = 3000;

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

// ----- parking a receiving thread -----

int park_pipe[2];

void park_handler(int) {
  char byte;
  while (read(park_pipe[0], &byte, 1) < 0) {
  }
}

void install_park_handler() {
  if (pipe(park_pipe) != 0) std::exit(1);
  struct sigaction sa = {};
  sa.sa_handler = park_handler;  // no SA_RESTART: the parked thread's wait ends with EINTR
  sigaction(SIGUSR1, &sa, nullptr);
}

double thread_cpu_seconds(pthread_t thread) {
  clockid_t id;
  timespec ts{};
  if (pthread_getcpuclockid(thread, &id) == 0) clock_gettime(id, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

int udp_socket(int *port) {
  int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(sock, reinterpret_cast<sockaddr *>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(sock, reinterpret_cast<sockaddr *>(&a), &len);
  if (port) *port = ntohs(a.sin_port);
  return sock;
}

int local_port(int sock) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  getsockname(sock, reinterpret_cast<sockaddr *>(&a), &len);
  return ntohs(a.sin_port);
}

sockaddr_in loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  return a;
}

// Room for every datagram of a drain (root may exceed rmem_max).
void big_buffer(int sock) {
  int bytes = 64 << 20;
  setsockopt(sock, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes);
}

// ----- datagrams -----

std::vector<std::vector<uint8_t>> garbage_pool() {
  std::mt19937 random(7);
  std::vector<std::vector<uint8_t>> pool(256);
  for (auto &d : pool) {
    d.resize(82);
    for (auto &b : d) b = static_cast<uint8_t>(random());
  }
  return pool;
}

std::vector<uint8_t> request_packet(uint32_t seq, const char *key) {
  uint8_t message[20] = {};
  vtrp_header h{};
  h.flags = VTRP_FLAG_REPLY_WANTED;
  h.seq = h.id = seq;
  h.category = VTRP_CATEGORY_SERVER;
  h.type = VTRP_TYPE_FEATURE_INVITATION;
  vtrp_write_header(message, h);
  vt_store_be32(message + 16, 0x2);
  vtrp_convert_message_to_network_order(message, sizeof message);
  uint32_t length = 0;
  vtrp_packet_ptr packet(vtrp_compose_packet(message, sizeof message, kSerial, key, &length, 2));
  return std::vector<uint8_t>(packet.get(), packet.get() + length);
}

std::vector<std::vector<uint8_t>> wrong_key_pool() {
  std::vector<std::vector<uint8_t>> pool;
  for (uint32_t i = 0; i < 256; ++i) pool.push_back(request_packet(i + 1, "wrongwrongwrong!"));
  return pool;
}

// ----- the floor -----

struct Floor {
  int sock = -1;
  int port = 0;
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> handled{0};
  std::thread thread;

  Floor() {
    sock = udp_socket(&port);
    big_buffer(sock);
    timeval tv{0, 100000};
    setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    thread = std::thread([this] { run(); });
  }
  ~Floor() {
    stop = true;
    thread.join();
    close(sock);
  }
  void run() {
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    const uint8_t *key = reinterpret_cast<const uint8_t *>(kKey);
    EVP_DecryptInit_ex(ctx, EVP_aes_128_cbc(), nullptr, key, nullptr);
    const size_t serial_length = std::strlen(kSerial);
    uint8_t d[600], m[600];
    while (!stop) {
      sockaddr_in from{};
      socklen_t from_length = sizeof from;
      ssize_t n = recvfrom(sock, d, sizeof d, 0, reinterpret_cast<sockaddr *>(&from), &from_length);
      if (n <= 0) continue;
      handled.fetch_add(1, std::memory_order_relaxed);
      if (n < 36 || std::memcmp(d, "vtup", 4) != 0 || vt_load_be16(d + 4) != 2) continue;
      size_t blocks = vt_load_be16(d + 32);
      if (static_cast<size_t>(n) != 50 + 16 * blocks || n > 562 || d[6] != serial_length ||
          std::memcmp(d + 7, kSerial, serial_length) != 0)
        continue;
      int l1 = 0, l2 = 0;
      EVP_DecryptInit_ex(ctx, nullptr, nullptr, nullptr, d + 34);
      if (EVP_DecryptUpdate(ctx, m, &l1, d + 50, static_cast<int>(n - 50)) != 1 ||
          EVP_DecryptFinal_ex(ctx, m + l1, &l2) != 1)
        continue;
      int length = l1 + l2;
      if (length < 16 || crc(m + 4, length - 4) != vt_load_be32(m)) continue;
      vtrp_header h = vtrp_read_header(m);  // network order is fine for an echo
      if (!(vt_load_be16(m + 4) & VTRP_FLAG_REPLY_WANTED)) continue;
      vt_store_be16(m + 4, VTRP_FLAGS_REPLY_OK);
      vt_store_be32(m, crc(m + 4, 12));
      (void)h;
      uint32_t out = 0;
      vtrp_packet_ptr reply(vtrp_compose_packet(m, 16, kSerial, kKey, &out, 2));
      if (reply) sendto(sock, reply.get(), out, 0, reinterpret_cast<sockaddr *>(&from), from_length);
    }
    EVP_CIPHER_CTX_free(ctx);
  }
};

// ----- measurements -----

// A receiving thread and how to read its progress.
struct Receiver {
  const char *name;
  pthread_t thread;
  int port;
  std::function<uint64_t()> handled;
};

// CPU microseconds per datagram for one drain of a full buffer.
double drain(const Receiver &r, const std::vector<std::vector<uint8_t>> &pool, int sender) {
  pthread_kill(r.thread, SIGUSR1);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the thread is in the handler
  uint64_t before = r.handled();
  sockaddr_in to = loopback(r.port);
  int sent = 0;
  for (int i = 0; i < kDrainDatagrams; ++i)
    if (sendto(sender, pool[i & 255].data(), pool[i & 255].size(), 0, reinterpret_cast<sockaddr *>(&to),
               sizeof to) > 0)
      ++sent;
  double cpu_before = thread_cpu_seconds(r.thread);
  if (write(park_pipe[1], "x", 1) != 1) std::exit(1);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  uint64_t got = 0;
  while ((got = r.handled() - before) < static_cast<uint64_t>(sent) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  double cpu = thread_cpu_seconds(r.thread) - cpu_before;
  if (got < static_cast<uint64_t>(sent))
    std::printf("  (%s: %llu of %d datagrams arrived)\n", r.name, static_cast<unsigned long long>(got), sent);
  return got ? cpu * 1e6 / got : 0;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Nanoseconds of the liveness check's own work per call.
double liveness_work_ns() {
  volatile uint32_t last = vt_time32(), since = last, attempt = last;
  volatile int sink = 0;
  constexpr int kCalls = 5000000;
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kCalls; ++i) {
    uint32_t now = vt_time32();
    int32_t quiet = vt_seconds_between(since, now);
    int32_t silence = vt_seconds_between(last, now);
    int32_t waited = vt_seconds_between(attempt, now);
    sink = sink + (quiet >= 60) + (silence >= 70) + (waited < 10);
  }
  return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() / kCalls;
}

struct Latency {
  int answered = 0;
  double p50_us = -1, p99_us = -1;
};

// kRequests invitations one at a time from `requester` to port; `seq` goes on.
Latency requests(int requester, int port, uint32_t *seq) {
  sockaddr_in to = loopback(port);
  std::vector<double> samples;
  uint8_t d[600], m[512];
  for (int i = 0; i < kRequests; ++i) {
    uint32_t s = (*seq)++;
    std::vector<uint8_t> packet = request_packet(s, kKey);
    auto start = std::chrono::steady_clock::now();
    sendto(requester, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
    auto deadline = start + std::chrono::seconds(1);
    for (;;) {
      int left = static_cast<int>(
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
      pollfd p{requester, POLLIN, 0};
      if (left <= 0 || poll(&p, 1, left) <= 0) break;
      ssize_t n = recv(requester, d, sizeof d, 0);
      uint32_t length = 0;
      if (n <= 0 || vtrp_decode_packet(d, n, kSerial, kKey, m, &length) != packet_verdict::ok) continue;
      vtrp_header h = vtrp_read_header(m);
      if (!vtrp_is_reply(h.flags) || h.seq != s) continue;
      samples.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
      break;
    }
  }
  Latency l;
  l.answered = static_cast<int>(samples.size());
  if (!samples.empty()) {
    std::sort(samples.begin(), samples.end());
    l.p50_us = samples[samples.size() / 2];
    l.p99_us = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];
  }
  return l;
}

// Garbage at full speed from the server's socket to port until stopped;
// counts what it sent.
struct FloodSender {
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> sent{0};
  std::thread thread;
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();

  FloodSender(int sock, int port) {
    thread = std::thread([this, sock, port] {
      auto pool = garbage_pool();
      sockaddr_in to = loopback(port);
      mmsghdr batch[64] = {};
      iovec iov[64];
      for (int i = 0; i < 64; ++i) {
        iov[i] = {pool[i].data(), pool[i].size()};
        batch[i].msg_hdr.msg_iov = &iov[i];
        batch[i].msg_hdr.msg_iovlen = 1;
        batch[i].msg_hdr.msg_name = &to;
        batch[i].msg_hdr.msg_namelen = sizeof to;
      }
      while (!stop) {
        int n = sendmmsg(sock, batch, 64, 0);
        if (n > 0) sent += n;
      }
    });
  }
  double rate() const {
    return sent / std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  ~FloodSender() {
    stop = true;
    thread.join();
  }
};

void print_latency(const char *what, const Latency &agent, const Latency &floor) {
  std::printf("%-28s agent %4d of %d answered, p50 %7.1f us, p99 %8.1f us | floor %4d answered, "
              "p50 %6.1f us, p99 %7.1f us\n",
              what, agent.answered, kRequests, agent.p50_us, agent.p99_us, floor.answered, floor.p50_us,
              floor.p99_us);
}

}  // namespace

int main() {
  setenv("PATH", (std::string(WGET_HTTPS_DIR) + ":" + std::getenv("PATH")).c_str(), 1);
  std::string root = "/tmp/vtclient-bench-" + std::to_string(getpid());
  std::system(("mkdir -p " + root + "/tmp").c_str());
  setenv("VTCLIENT_ROOT", root.c_str(), 1);
  install_park_handler();
  setvbuf(stdout, nullptr, _IOLBF, 0);

  Sim sim;
  auto ready = sim.until("ready");
  setenv("WGET_HTTPS_CA_FILE", ready["ca"].c_str(), 1);
  std::string host = ready["https"];

  // The agent's logger, writing root/tmp/udp_client.log with its rotation.
  vantor_udp_client *client = create_vantor_udp_client(kSerial, "VX200", "EU", "2.1.0", 30, host.c_str(),
                                                       "udps/register", __udp_client_log, 10, nullptr);
  uint32_t keepalive = 50, disconnect = 600;
  vantor_udp_client_set_param(client, VANTOR_UDP_CLIENT_PARAM_KEEPALIVE_INTERVAL, &keepalive);
  vantor_udp_client_set_param(client, VANTOR_UDP_CLIENT_PARAM_DISCONNECT_TIMEOUT, &disconnect);
  vantor_udp_client_run(client);
  vantor_udp_client_set_handler(client, VANTOR_UDP_CLIENT_HANDLER_FEATURE_INVITATION,
                                reinterpret_cast<vantor_udp_client_handler>(accept_at_once));
  sim.until("recv", "what=keepalive");

  // Under a wrong-key flood the client asks for a new session; a server that
  // answers without a redirect puts the next attempt an hour away, so the
  // socket (and what is queued on it) stays for the whole run.
  sim.send("auth plain");
  uint32_t one = 1;
  vantor_udp_client_set_param(client, VANTOR_UDP_CLIENT_PARAM_RECONNECT, &one);
  sim.until("https", "register");
  std::this_thread::sleep_for(std::chrono::milliseconds(500));

  // The client's server is now a native socket ("server"): the requests,
  // the fills and the floods all come from it, since the client's socket is
  // connected to its server and the kernel drops datagrams from elsewhere.
  int server_port = 0;
  int server = udp_socket(&server_port);
  sockaddr_in server_address = loopback(server_port);
  vantor_udp_client_set_param(client, VANTOR_UDP_CLIENT_PARAM_SERVER_ADDRESS, "127.0.0.1");
  uint32_t port_value = static_cast<uint32_t>(server_port);
  vantor_udp_client_set_param(client, VANTOR_UDP_CLIENT_PARAM_SERVER_PORT, &port_value);

  int agent_port;
  {
    std::lock_guard<std::mutex> lock(client->connection_mutex);
    connect(client->sock, reinterpret_cast<sockaddr *>(&server_address), sizeof server_address);
    big_buffer(client->sock);
    agent_port = local_port(client->sock);
  }
  Floor floor;
  connect(floor.sock, reinterpret_cast<sockaddr *>(&server_address), sizeof server_address);
  auto counted = [client] {
    std::lock_guard<std::mutex> lock(client->statistics_mutex);
    return static_cast<uint64_t>(client->statistics.header_errors) + client->statistics.decrypt_errors;
  };
  Receiver agent_rx{"agent", client->receive_thread.native_handle(), agent_port, counted};
  Receiver floor_rx{"floor", floor.thread.native_handle(), floor.port, [&floor] { return floor.handled.load(); }};

  // (a) CPU per datagram, rounds interleaved.
  auto garbage = garbage_pool();
  auto wrong_key = wrong_key_pool();
  std::map<std::string, std::vector<double>> us;
  for (int round = 0; round < kDrainRounds; ++round) {
    us["agent garbage"].push_back(drain(agent_rx, garbage, server));
    us["floor garbage"].push_back(drain(floor_rx, garbage, server));
    us["agent wrongkey"].push_back(drain(agent_rx, wrong_key, server));
    us["floor wrongkey"].push_back(drain(floor_rx, wrong_key, server));
  }
  std::printf("CPU per datagram, draining a full socket buffer of %d, median of %d rounds:\n", kDrainDatagrams,
              kDrainRounds);
  for (const char *kind : {"garbage", "wrongkey"}) {
    double a = median(us[std::string("agent ") + kind]), f = median(us[std::string("floor ") + kind]);
    std::printf("  %-9s agent %6.3f us   floor %6.3f us   ratio %.2f x\n", kind, a, f, a / f);
  }

  // (b) the liveness check after every datagram.
  double check = liveness_work_ns();
  std::printf("liveness check per datagram: %.1f ns = %.1f %% of a garbage datagram, %.1f %% of a wrong-key one\n",
              check, check / 10 / median(us["agent garbage"]), check / 10 / median(us["agent wrongkey"]));

  // (c) requests without and during a garbage flood.
  uint32_t seq = 1;
  Latency quiet_agent = requests(server, agent_port, &seq);
  Latency quiet_floor = requests(server, floor.port, &seq);
  print_latency("requests, no flood:", quiet_agent, quiet_floor);
  Latency flood_agent, flood_floor;
  double agent_rate, floor_rate;
  {
    FloodSender flood(server, agent_port);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    flood_agent = requests(server, agent_port, &seq);
    agent_rate = flood.rate();
  }
  {
    FloodSender flood(server, floor.port);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    flood_floor = requests(server, floor.port, &seq);
    floor_rate = flood.rate();
  }
  print_latency("requests, garbage flood:", flood_agent, flood_floor);
  std::printf("flood rate: %.0f datagrams/s at the agent, %.0f at the floor\n", agent_rate, floor_rate);

  close(server);
  destroy_vantor_udp_client(client);
  std::system(("rm -rf " + root).c_str());
  return 0;
}
