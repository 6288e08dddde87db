// The channel client against a floor measured in the same run, both on the
// system's default receive buffer; every figure is a ratio to the floor (the
// README's benchmark paragraph gives the method). The agent: a client made
// through the public interface with the daemon's handlers and logger. The
// floor: one thread that decodes on a kept cipher context and answers a valid
// packet at once. Agent and floor run in pairs of rounds.
#include <arpa/inet.h>
#include <poll.h>
#include <sched.h>
#include <sys/syscall.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>

#include "channel/packet_decoder.h"
#include "channel/vantor_udp_client.h"
#include "channel/vtrp_packet.h"
#include "daemon/handlers.h"
#include "features/daemon_state.h"
#include "platform/log.h"
#include "tests/channel/vtsim_process.h"

namespace {

using Pool = std::vector<std::vector<uint8_t>>;
using Figures = std::vector<double>;
const char kSerial[] = "00AABBCC0011", kKey[] = "benchbenchbench1";
constexpr int kFill = 224;  // with a request behind them within 212,992 B (256 such datagrams)
int server;                 // the client's server socket
uint32_t seq = 1;           // of the next request
int port[2];                // the agent's (side 0) and the floor's
std::atomic<pid_t> tid[2];  // the agent's receiving thread and the floor's
std::atomic<int> parked{0};
int park_pipe[2];

[[noreturn]] void fail(const char *what) {
  std::fprintf(stderr, "channel_client_bench: %s\n", what);
  std::exit(1);
}

// A thread's CPU time, through the clock id pthread_getcpuclockid would build.
double cpu_us(pid_t thread) {
  timespec ts{};
  clock_gettime(static_cast<clockid_t>(~static_cast<unsigned>(thread) << 3 | 6), &ts);
  return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

std::vector<pid_t> threads() {
  std::vector<pid_t> all;
  for (auto &task : std::filesystem::directory_iterator("/proc/self/task")) all.push_back(std::stoi(task.path().filename()));
  return all;
}

sockaddr *loopback(int port) {
  static thread_local sockaddr_in a;
  a = {AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
  return reinterpret_cast<sockaddr *>(&a);
}

// A loopback socket and its port, connected to peer_port unless it is 0.
int udp_socket(int peer_port, int *port) {
  int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  socklen_t length = sizeof(sockaddr_in);
  bind(sock, loopback(0), length);
  if (peer_port) connect(sock, loopback(peer_port), length);
  sockaddr *a = loopback(0);
  getsockname(sock, a, &length);
  *port = ntohs(reinterpret_cast<sockaddr_in *>(a)->sin_port);
  return sock;
}

void send_to(int port, const std::vector<uint8_t> &d) {
  sendto(server, d.data(), d.size(), 0, loopback(port), sizeof(sockaddr_in));
}

std::vector<uint8_t> invitation(uint32_t s, const char *key) {
  uint8_t message[20] = {}, packet[VTRP_MAX_PACKET];  // feature mask 0
  vtrp_encode_message(message, {0, VTRP_FLAG_REPLY_WANTED, s, s, VTRP_CATEGORY_SERVER, VTRP_TYPE_FEATURE_INVITATION},
                      message + VTRP_HEADER_LENGTH, sizeof message - VTRP_HEADER_LENGTH);
  return {packet, packet + vtrp_compose_packet_into(packet, message, sizeof message, kSerial, key, 2, nullptr)};
}

// count invitations, one at a time: the microseconds to each reply, -1 for none.
Figures ask(int port, int count, int timeout_ms = 250) {
  using namespace std::chrono;
  Figures us;
  for (int i = 0; i < count; ++i) {
    uint32_t s = seq++;
    auto start = steady_clock::now(), deadline = start + milliseconds(timeout_ms);
    send_to(port, invitation(s, kKey));
    us.push_back(-1);
    for (pollfd p{server, POLLIN, 0}; us.back() < 0;) {
      uint8_t d[600], m[VTRP_MAX_CIPHERTEXT];
      uint32_t length = 0;
      if (poll(&p, 1, std::max<int>(0, duration_cast<milliseconds>(deadline - steady_clock::now()).count())) <= 0) break;
      ssize_t n = recv(server, d, sizeof d, 0);
      vtrp_header h{};
      if (n > 0 && vtrp_decode_packet(d, n, kSerial, kKey, m, &length, &h) == packet_verdict::ok &&
          vtrp_is_reply(h.flags) && h.seq == s)
        us.back() = duration<double, std::micro>(steady_clock::now() - start).count();
    }
  }
  return us;
}

void floor_main(int sock) {
  udp_cipher_context_ptr decrypt(udp_cipher_context_new()), encrypt(udp_cipher_context_new());
  uint8_t d[600], m[VTRP_MAX_CIPHERTEXT];
  for (tid[1] = static_cast<pid_t>(syscall(SYS_gettid));;) {
    ssize_t n = recv(sock, d, sizeof d, 0);
    uint32_t length = 0;
    vtrp_header h{};
    if (n <= 0 || vtrp_decode_packet(d, n, kSerial, kKey, m, &length, &h, decrypt.get()) != packet_verdict::ok) continue;
    h.flags = VTRP_FLAGS_REPLY_OK;
    vtrp_encode_message(m, h, nullptr, 0);
    send(sock, d, vtrp_compose_packet_into(d, m, VTRP_HEADER_LENGTH, kSerial, kKey, 2, encrypt.get()), 0);
  }
}

// Side s's CPU microseconds per datagram of pool: eight drains of kFill, less eight of none.
double per_datagram(int s, const Pool &pool) {
  double us = 0;
  for (int drain = 0; drain < 16; ++drain) {
    parked = 0;
    syscall(SYS_tgkill, getpid(), tid[s].load(), SIGUSR1);
    while (!parked) sched_yield();
    for (int i = 0; drain % 2 == 0 && i < kFill; ++i) send_to(port[s], pool[i]);
    double before = cpu_us(tid[s]);
    if (write(park_pipe[1], "x", 1) != 1 || ask(port[s], 1, 5000)[0] < 0) fail("a drain was not answered");
    us += (drain % 2 ? -1 : 1) * (cpu_us(tid[s]) - before);
  }
  return us / (8 * kFill);
}

double pct(Figures v, double q) {
  v.erase(std::remove(v.begin(), v.end(), -1), v.end());
  std::sort(v.begin(), v.end());
  return v.empty() ? -1 : v[std::min(v.size() - 1, static_cast<size_t>(q * v.size()))];
}

// A figure of agent and floor; with pairs' ratios, their median and p10-p90, else agent / floor.
void print(const char *what, double agent, double floor, const Figures &ratios = {}) {
  const double ratio = ratios.empty() ? agent / floor : pct(ratios, .5);
  std::printf("  %-20s agent %8.2f  floor %8.2f  ratio %5.2fx", what, agent, floor, ratio);
  if (ratios.empty()) std::puts("");
  else std::printf("  p10-p90 %.2f-%.2f (%zu pairs)\n", pct(ratios, .1), pct(ratios, .9), ratios.size());
}

// Rounds in pairs, the agent's (side 0) then the floor's: each pair's ratio.
template <class Round>
Figures paired(int pairs, Round round) {
  Figures ratios;
  for (double agent; ratios.size() < static_cast<size_t>(pairs);) agent = round(0), ratios.push_back(agent / round(1));
  return ratios;
}

// Datagrams the kernel dropped at the socket bound to port, for lack of room.
unsigned long kernel_drops(int port) {
  std::ifstream table("/proc/net/udp");
  unsigned long drops = 0;
  for (std::string line; std::getline(table, line);)
    if (unsigned local = 0; std::sscanf(line.c_str(), "%*d: %*x:%x %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %lu", &local,
                                        &drops) == 2 && local == static_cast<unsigned>(port))
      return drops;
  return 0;
}

}  // namespace

int main() {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  std::string root = "/tmp/vtclient-bench-" + std::to_string(getpid());
  std::filesystem::create_directories(root + "/tmp");
  setenv("VTCLIENT_ROOT", root.c_str(), 1);
  setenv("PATH", (std::string(WGET_HTTPS_DIR) + ":" + std::getenv("PATH")).c_str(), 1);
  struct sigaction sa = {};
  sa.sa_handler = [](int) {  // parks the thread until a byte comes (no SA_RESTART: its own wait ends with EINTR)
    char byte;
    for (parked = 1; read(park_pipe[0], &byte, 1) < 0;) continue;
  };
  if (pipe(park_pipe) != 0 || sigaction(SIGUSR1, &sa, nullptr) != 0) fail("no pipe or handler");
  vt_test::VtsimProcess sim(kSerial, kKey, root + "/sim");
  if (!sim.https_port || setenv("WGET_HTTPS_CA_FILE", sim.ca_file.c_str(), 1) != 0) fail("the simulator did not start");
  vantor_udp_client *client = create_vantor_udp_client(kSerial, "VX200", "EU", "2.1.0", 30,
      ("127.0.0.1:" + std::to_string(sim.https_port)).c_str(), "udps/register", __udp_client_log, 10, nullptr);
  int server_port = 0;
  server = udp_socket(0, &server_port);
  uint32_t port_value = server_port, keepalive = 50, disconnect = 600, one = 1;
  daemon_state state;
  const std::pair<int, const void *> params[] = {
      {VANTOR_UDP_CLIENT_PARAM_SERVER_ADDRESS, "127.0.0.1"}, {VANTOR_UDP_CLIENT_PARAM_SERVER_PORT, &port_value},
      {VANTOR_UDP_CLIENT_PARAM_KEEPALIVE_INTERVAL, &keepalive}, {VANTOR_UDP_CLIENT_PARAM_DISCONNECT_TIMEOUT, &disconnect},
      {VANTOR_UDP_CLIENT_PARAM_HANDLER_CONTEXT, &state}};
  for (const auto &p : params) vantor_udp_client_set_param(client, p.first, p.second);
  __udp_client_register_handlers(client);
  vantor_udp_client_run(client);
  auto logged = [&root](const char *text) {
    std::ifstream log(root + "/tmp/udp_client.log");
    std::string all(std::istreambuf_iterator<char>(log), {});
    return all.find(text) == std::string::npos ? std::string() : all.substr(all.find(text) + std::strlen(text));
  };
  port[0] = std::atoi(logged("Client listening port: ").c_str());
  // Packets under a wrong key make the client ask for a new session. Asked once
  // here: an answer without a redirect puts the next attempt an hour away.
  if (sim.command("auth plain").name != "ok") fail("the simulator takes no commands");
  vantor_udp_client_set_param(client, VANTOR_UDP_CLIENT_PARAM_RECONNECT, &one);
  if (sim.wait_for(vt_test::event_is("https", {{"n", "2"}})).name != "https") fail("no second registration");
  if (ask(port[0], 1, 5000)[0] < 0 || logged("Recv Feature Invitation").empty())
    fail("the agent does not answer through the daemon's handler");
  std::thread(floor_main, udp_socket(server_port, &port[1])).detach();
  while (!tid[1]) sched_yield();

  Pool garbage(256), wrong_key;
  for (uint32_t i = 0; i < 256; ++i) {
    for (uint32_t b = 0; b < 82; ++b) garbage[i].push_back(static_cast<uint8_t>((i * 82 + b) * 2654435761u >> 24));
    wrong_key.push_back(invitation(i + 1, "wrongwrongwrong!"));
  }
  // The agent's receiving thread: the one whose CPU time grows most while it rejects garbage.
  std::map<double, pid_t> grown;
  const std::vector<pid_t> tasks = threads();
  Figures before;
  for (pid_t t : tasks) before.push_back(cpu_us(t));
  for (int i = 0; i < 20 * kFill; ++i) i % kFill ? send_to(port[0], garbage[i % kFill]) : void(ask(port[0], 1, 5000));
  for (size_t i = 0; i < tasks.size(); ++i) grown[tasks[i] == getpid() ? -1 : cpu_us(tasks[i]) - before[i]] = tasks[i];
  tid[0] = grown.rbegin()->second;

  cpu_set_t any, one_cpu;
  sched_getaffinity(0, sizeof any, &any);
  CPU_ZERO(&one_cpu);
  CPU_SET(sched_getcpu(), &one_cpu);
  auto pin_all = [](const cpu_set_t &set) { for (pid_t t : threads()) sched_setaffinity(t, sizeof set, &set); };
  pin_all(one_cpu);
  std::printf("CPU per rejected datagram (us), every thread on one CPU, drains of %d:\n", kFill);
  for (const Pool *pool : {&garbage, &wrong_key}) {
    Figures side[2], ratios = paired(40, [&](int s) { return side[s].emplace_back(per_datagram(s, *pool)); });
    print(pool == &garbage ? "garbage" : "wrong key", pct(side[0], .5), pct(side[1], .5), ratios);
  }
  const char *conditions[] = {"unpinned", "every thread on one CPU", "two threads flooding garbage, unpinned"};
  for (int c = 0; c < 3; ++c) {
    pin_all(c == 1 ? one_cpu : any);
    Figures replies[2], lost(2), dropped(2);  // every reply's time
    Figures ratios = paired(20, [&](int s) {
      unsigned long drops = kernel_drops(port[s]);
      std::atomic<bool> stop{false};
      std::vector<std::thread> flood;
      for (int i = 0; c == 2 && i < 2; ++i)
        flood.emplace_back([&] {
          while (!stop)
            for (const auto &d : garbage) send_to(port[s], d);
        });
      if (c == 2) std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the buffer fills
      Figures r = ask(port[s], 200);
      stop = true;
      for (auto &t : flood) t.join();
      dropped[s] += kernel_drops(port[s]) - drops;
      lost[s] += std::count(r.begin(), r.end(), -1);
      replies[s].insert(replies[s].end(), r.begin(), r.end());
      return pct(r, .5);
    });
    std::printf("Reply latency (us), %s, 20 pairs of rounds of 200 invitations:\n", conditions[c]);
    print("p50", pct(replies[0], .5), pct(replies[1], .5), ratios);
    print("p99", pct(replies[0], .99), pct(replies[1], .99));
    if (c < 2) continue;  // lost and dropped: figures of the flood
    print("lost", lost[0], lost[1]);
    print("dropped, buffer full", dropped[0], dropped[1]);
  }
  destroy_vantor_udp_client(client);
  std::filesystem::remove_all(root);
}
