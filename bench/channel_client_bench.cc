// The channel client against a floor measured in the same run, both on the
// system's default socket receive buffer; every figure is a ratio to the floor.
//
// The agent: a client made through the public interface, authorised by the
// simulator (tools/vtsim), with the daemon's handlers and logger (its file under
// VTCLIENT_ROOT). Its server is a socket of this program, which sends every
// request, fill and flood. The floor: one thread on a socket connected to the
// same server socket: recv, the channel's decoder (header checks, AES-128-CBC on
// a cipher context kept for the session, CRC) and, for a valid packet, a reply
// encrypted on a second kept context and sent at once. No queue, no hand-off
// to another thread, no log line.
//
// Agent and floor run in pairs of rounds (an agent round, then a floor round);
// a ratio is the median of the pairs' ratios, printed with their p10-p90.
//  - CPU per rejected datagram, every thread on one CPU: the receiving thread
//    is parked in a signal handler, kFill datagrams queued, the thread resumed;
//    its CPU time until a request queued behind them is answered, less that of
//    a drain without datagrams, divided by kFill.
//  - Reply latency of feature invitations sent one at a time: the daemon's
//    handler logs "Recv Feature Invitation" and refuses (no feature bit set).
//  - The same while two threads flood garbage; lost: no reply within 250 ms.
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "channel/packet_decoder.h"
#include "channel/vantor_udp_client.h"
#include "channel/vtrp_packet.h"
#include "daemon/handlers.h"
#include "features/daemon_state.h"
#include "platform/log.h"

namespace {

using Pool = std::vector<std::vector<uint8_t>>;
const char kSerial[] = "00AABBCC0011", kKey[] = "benchbenchbench1";
constexpr int kFill = 224;  // with a request behind them within 212,992 B (256 such datagrams)
int server, server_port;    // the client's server socket
uint32_t seq = 1;           // of the next request
std::atomic<int> parked{0};
std::atomic<pid_t> floor_id{0};
int park_pipe[2];

[[noreturn]] void fail(const char *what) {
  std::fprintf(stderr, "channel_client_bench: %s\n", what);
  std::exit(1);
}

void park(int) {
  parked = 1;
  for (char byte; read(park_pipe[0], &byte, 1) < 0;) {
  }
}

// A thread's CPU time, through the clock id pthread_getcpuclockid would build.
double cpu_us(pid_t thread) {
  timespec ts{};
  clock_gettime(static_cast<clockid_t>(~static_cast<unsigned>(thread) << 3 | 6), &ts);
  return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

std::vector<pid_t> threads() {
  std::vector<pid_t> all;
  for (auto &task : std::filesystem::directory_iterator("/proc/self/task"))
    all.push_back(std::stoi(task.path().filename()));
  return all;
}

sockaddr_in loopback(int port) { return {AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}}; }

// A loopback socket and its port, connected to peer_port unless it is 0.
int udp_socket(int peer_port, int *port) {
  int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = loopback(0), peer = loopback(peer_port);
  socklen_t length = sizeof a;
  bind(sock, reinterpret_cast<sockaddr *>(&a), sizeof a);
  if (peer_port) connect(sock, reinterpret_cast<sockaddr *>(&peer), sizeof peer);
  getsockname(sock, reinterpret_cast<sockaddr *>(&a), &length);
  *port = ntohs(a.sin_port);
  return sock;
}

void send_to(int port, const std::vector<uint8_t> &d) {
  sockaddr_in to = loopback(port);
  sendto(server, d.data(), d.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
}

std::vector<uint8_t> invitation(uint32_t s, const char *key) {
  uint8_t message[20] = {}, packet[VTRP_MAX_PACKET];  // feature mask 0
  vtrp_write_header(message, {0, VTRP_FLAG_REPLY_WANTED, s, s, VTRP_CATEGORY_SERVER, VTRP_TYPE_FEATURE_INVITATION});
  vtrp_convert_message_to_network_order(message, sizeof message);
  return {packet, packet + vtrp_compose_packet_into(packet, message, sizeof message, kSerial, key, 2, nullptr)};
}

// count invitations, one at a time: the microseconds to each reply, -1 for none.
std::vector<double> ask(int port, int count, int timeout_ms = 250) {
  std::vector<double> us;
  for (int i = 0; i < count; ++i) {
    using namespace std::chrono;
    uint32_t s = seq++;
    auto start = steady_clock::now(), deadline = start + milliseconds(timeout_ms);
    send_to(port, invitation(s, kKey));
    us.push_back(-1);
    for (pollfd p{server, POLLIN, 0}; us.back() < 0;) {
      uint8_t d[600], m[VTRP_MAX_CIPHERTEXT];
      uint32_t length = 0;
      if (poll(&p, 1, std::max<int>(0, duration_cast<milliseconds>(deadline - steady_clock::now()).count())) <= 0)
        break;
      ssize_t n = recv(server, d, sizeof d, 0);
      if (n > 0 && vtrp_decode_packet(d, n, kSerial, kKey, m, &length) == packet_verdict::ok &&
          vtrp_is_reply(vtrp_read_header(m).flags) && vtrp_read_header(m).seq == s)
        us.back() = duration<double, std::micro>(steady_clock::now() - start).count();
    }
  }
  return us;
}

// The floor's thread, for the rest of the process.
void floor_main(int sock) {
  udp_cipher_context_ptr decrypt(udp_cipher_context_new()), encrypt(udp_cipher_context_new());
  uint8_t d[600], m[VTRP_MAX_CIPHERTEXT];
  for (floor_id = static_cast<pid_t>(syscall(SYS_gettid));;) {
    ssize_t n = recv(sock, d, sizeof d, 0);
    uint32_t length = 0;
    if (n <= 0 || vtrp_decode_packet(d, n, kSerial, kKey, m, &length, decrypt.get()) != packet_verdict::ok) continue;
    vtrp_header h = vtrp_read_header(m);
    h.flags = VTRP_FLAGS_REPLY_OK;
    vtrp_write_header(m, h);
    vtrp_convert_message_to_network_order(m, VTRP_HEADER_LENGTH);
    send(sock, d, vtrp_compose_packet_into(d, m, VTRP_HEADER_LENGTH, kSerial, kKey, 2, encrypt.get()), 0);
  }
}

// CPU microseconds per datagram of pool: eight drains of kFill, less eight of none.
double per_datagram(pid_t thread, int port, const Pool &pool) {
  double us = 0;
  for (int drain = 0; drain < 16; ++drain) {
    parked = 0;
    syscall(SYS_tgkill, getpid(), thread, SIGUSR1);
    while (!parked) sched_yield();
    for (int i = 0; drain % 2 == 0 && i < kFill; ++i) send_to(port, pool[i]);
    double before = cpu_us(thread);
    if (write(park_pipe[1], "x", 1) != 1 || ask(port, 1, 5000)[0] < 0) fail("a drain was not answered");
    us += (drain % 2 ? -1 : 1) * (cpu_us(thread) - before);
  }
  return us / (8 * kFill);
}

double pct(std::vector<double> v, double q) {
  v.erase(std::remove(v.begin(), v.end(), -1), v.end());
  std::sort(v.begin(), v.end());
  return v.empty() ? -1 : v[std::min(v.size() - 1, static_cast<size_t>(q * v.size()))];
}

void print(const char *what, const std::vector<double> &agent, const std::vector<double> &floor,
           const std::vector<double> &ratios = {}, double q = .5) {
  std::printf("  %-20s agent %8.2f  floor %8.2f", what, pct(agent, q), pct(floor, q));
  if (ratios.empty()) std::printf("  ratio %5.2fx\n", pct(agent, q) / pct(floor, q));
  else std::printf("  ratio %5.2fx  p10-p90 %.2f-%.2f (%zu pairs)\n", pct(ratios, .5), pct(ratios, .1),
                   pct(ratios, .9), ratios.size());
}

// Datagrams the kernel dropped at the socket bound to port, for lack of room.
unsigned long kernel_drops(int port) {
  std::ifstream table("/proc/net/udp");
  unsigned long drops = 0, found = 0;
  unsigned local = 0;
  for (std::string line; std::getline(table, line);)
    if (std::sscanf(line.c_str(), "%*d: %*x:%x %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %lu", &local, &found) == 2 &&
        local == static_cast<unsigned>(port))
      drops = found;
  return drops;
}

}  // namespace

int main() {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  std::string root = "/tmp/vtclient-bench-" + std::to_string(getpid());
  std::filesystem::create_directories(root + "/tmp");
  setenv("VTCLIENT_ROOT", root.c_str(), 1);
  setenv("PATH", (std::string(WGET_HTTPS_DIR) + ":" + std::getenv("PATH")).c_str(), 1);
  struct sigaction sa = {};
  sa.sa_handler = park;  // no SA_RESTART: the parked thread's wait ends with EINTR
  int in[2], out[2];
  pid_t sim = -1;  // the simulator, in its own process group: commands in, event lines out
  if (pipe(park_pipe) != 0 || sigaction(SIGUSR1, &sa, nullptr) != 0 || pipe2(in, O_CLOEXEC) != 0 ||
      pipe2(out, O_CLOEXEC) != 0 || (sim = fork()) < 0)
    fail("no pipe, handler or process");
  if (sim == 0) {
    setpgid(0, 0);
    dup2(in[0], 0);
    dup2(out[1], 1);
    execl("/usr/bin/python3", "python3", VTSIM_SCRIPT, "--serial", kSerial, "--key", kKey, "--workdir",
          (root + "/sim").c_str(), nullptr);
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  FILE *events = fdopen(out[0], "r");
  char ready[8192] = "", ca[4096] = "", https[256] = "";
  while (std::strncmp(ready, "ready ", 6) != 0)
    if (!fgets(ready, sizeof ready, events)) fail("the simulator did not start");
  std::sscanf(std::strstr(ready, " https="), " https=%255s", https);
  std::sscanf(std::strstr(ready, " ca="), " ca=%4095s", ca);
  setenv("WGET_HTTPS_CA_FILE", ca, 1);

  vantor_udp_client *client =
      create_vantor_udp_client(kSerial, "VX200", "EU", "2.1.0", 30, https, "udps/register", __udp_client_log, 10, nullptr);
  server = udp_socket(0, &server_port);
  uint32_t port_value = server_port, keepalive = 50, disconnect = 600, one = 1;
  daemon_state state;
  vantor_udp_client_set_param(client, VANTOR_UDP_CLIENT_PARAM_SERVER_ADDRESS, "127.0.0.1");
  vantor_udp_client_set_param(client, VANTOR_UDP_CLIENT_PARAM_SERVER_PORT, &port_value);
  vantor_udp_client_set_param(client, VANTOR_UDP_CLIENT_PARAM_KEEPALIVE_INTERVAL, &keepalive);
  vantor_udp_client_set_param(client, VANTOR_UDP_CLIENT_PARAM_DISCONNECT_TIMEOUT, &disconnect);
  vantor_udp_client_set_param(client, VANTOR_UDP_CLIENT_PARAM_HANDLER_CONTEXT, &state);
  __udp_client_register_handlers(client);
  vantor_udp_client_run(client);
  auto logged = [&root](const char *text) {
    std::ifstream log(root + "/tmp/udp_client.log");
    std::string all(std::istreambuf_iterator<char>(log), {});
    return all.find(text) == std::string::npos ? std::string() : all.substr(all.find(text) + std::strlen(text));
  };
  int agent_port = std::atoi(logged("Client listening port: ").c_str());
  // Packets under a wrong key make the client ask for a new session. Asked once
  // here: an answer without a redirect puts the next attempt an hour away.
  if (dprintf(in[1], "auth plain\n") < 0) fail("the simulator takes no commands");
  vantor_udp_client_set_param(client, VANTOR_UDP_CLIENT_PARAM_RECONNECT, &one);
  for (char line[8192] = ""; std::strncmp(line, "https n=2 ", 10) != 0;)
    if (!fgets(line, sizeof line, events)) fail("the simulator ended");
  if (ask(agent_port, 1, 5000)[0] < 0 || logged("Recv Feature Invitation").empty())
    fail("the agent does not answer through the daemon's handler");
  int floor_port = 0, floor_socket = udp_socket(server_port, &floor_port);
  std::thread(floor_main, floor_socket).detach();
  while (!floor_id) sched_yield();

  Pool garbage(256), wrong_key;
  for (uint32_t i = 0; i < 256; ++i) {
    for (uint32_t b = 0; b < 82; ++b) garbage[i].push_back(static_cast<uint8_t>((i * 82 + b) * 2654435761u >> 24));
    wrong_key.push_back(invitation(i + 1, "wrongwrongwrong!"));
  }
  // The agent's receiving thread: the one whose CPU time grows most while it rejects garbage.
  std::vector<pid_t> tasks = threads();
  std::vector<double> grown;
  for (pid_t t : tasks) grown.push_back(-cpu_us(t));
  for (int round = 0; round < 20; ++round) {
    for (int i = 0; i < kFill; ++i) send_to(agent_port, garbage[i]);
    ask(agent_port, 1, 5000);
  }
  for (size_t i = 0; i < tasks.size(); ++i) grown[i] += tasks[i] == getpid() ? 0 : cpu_us(tasks[i]);
  pid_t receiver = tasks[std::max_element(grown.begin(), grown.end()) - grown.begin()];

  cpu_set_t any, one_cpu;
  sched_getaffinity(0, sizeof any, &any);
  CPU_ZERO(&one_cpu);
  CPU_SET(sched_getcpu(), &one_cpu);
  auto pin_all = [](const cpu_set_t &set) {
    for (pid_t t : threads()) sched_setaffinity(t, sizeof set, &set);
  };
  pin_all(one_cpu);
  std::printf("CPU per rejected datagram (us), every thread on one CPU, drains of %d:\n", kFill);
  for (const Pool *pool : {&garbage, &wrong_key}) {
    std::vector<double> a, f, ratios;
    for (int pair = 0; pair < 40; ++pair) {
      a.push_back(per_datagram(receiver, agent_port, *pool));
      f.push_back(per_datagram(floor_id, floor_port, *pool));
      ratios.push_back(a.back() / f.back());
    }
    print(pool == &garbage ? "garbage" : "wrong key", a, f, ratios);
  }

  const char *conditions[] = {"unpinned", "every thread on one CPU", "two threads flooding garbage, unpinned"};
  for (int c = 0; c < 3; ++c) {
    pin_all(c == 1 ? one_cpu : any);
    std::vector<double> replies[2], ratios;
    unsigned long dropped[2] = {};
    for (int pair = 0; pair < 20; ++pair) {
      double p50[2];
      for (int side = 0; side < 2; ++side) {
        int port = side ? floor_port : agent_port;
        unsigned long drops = kernel_drops(port);
        std::atomic<bool> stop{false};
        std::vector<std::thread> flood;
        for (int i = 0; c == 2 && i < 2; ++i)
          flood.emplace_back([&] {
            while (!stop)
              for (const auto &d : garbage) send_to(port, d);
          });
        if (c == 2) std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the buffer fills
        std::vector<double> r = ask(port, 200);
        stop = true;
        for (auto &t : flood) t.join();
        dropped[side] += kernel_drops(port) - drops;
        p50[side] = pct(r, .5);
        replies[side].insert(replies[side].end(), r.begin(), r.end());
      }
      ratios.push_back(p50[0] / p50[1]);
    }
    std::printf("Reply latency (us), %s, pairs of rounds of 200 invitations:\n", conditions[c]);
    print("p50", replies[0], replies[1], ratios);
    print("p99", replies[0], replies[1], {}, .99);
    long lost[2] = {std::count(replies[0].begin(), replies[0].end(), -1),
                    std::count(replies[1].begin(), replies[1].end(), -1)};
    std::printf("  %-20s agent %8ld  floor %8ld  of %zu each", "lost", lost[0], lost[1], replies[0].size());
    std::printf(lost[1] ? "  ratio %5.2fx\n" : "\n", 1.0 * lost[0] / std::max(lost[1], 1L));
    std::printf("  %-20s agent %8lu  floor %8lu", "dropped, buffer full", dropped[0], dropped[1]);
    std::printf(dropped[1] ? "  ratio %5.2fx\n" : "\n", 1.0 * dropped[0] / std::max(dropped[1], 1UL));
  }
  destroy_vantor_udp_client(client);
  close(in[1]);  // the simulator ends with its input
  kill(-sim, SIGKILL);
  waitpid(sim, nullptr, 0);
  std::filesystem::remove_all(root);
}
