// The channel client's inside: the record that the public handle points to,
// and the pieces its four threads share.
//
// Who touches what, and under which lock:
//  - agenda: agenda_mutex, always (producers and the send thread).
//  - session_key, server_host, server_port, interface_name, server_addr, sock:
//    written only under connection_mutex (re-establishment, address
//    parameters); the send thread reads them under it, the receive thread is
//    their only writer after creation and reads its own writes. The punch-hole
//    thread only needs to know whether a key exists: has_session_key.
//  - statistics, session: statistics_mutex.
//  - flags, intervals, handler slots and the context: atomics.
// Lock order: agenda_mutex, then connection_mutex, then statistics_mutex.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "channel/black_list.h"
#include "channel/delivery_agenda.h"
#include "channel/task_queue.h"
#include "channel/vantor_udp_client.h"
#include "platform/owned.h"

constexpr uint32_t VANTOR_UDP_CLIENT_HANDLER_SLOTS = 5;

// The receive thread's log lines about rejected packets, rate-limited so that
// a flood cannot push everything else out of the log: the first line is
// written as it is, the next ones within a minute only held back, and once a
// minute one line gives the counts since the last line.
struct rejected_packet_log {
  bool quiet = false;       // a minute that began with a line is running
  uint32_t since = 0;       // when that line was written
  uint32_t held = 0;        // lines held back since
  uint32_t counted[3] = {};  // header, decrypt and seq errors at that line
};

// What vantor_udp_client_get_status reports about the session, under
// statistics_mutex. Written at creation and by the receive thread.
struct session_record {
  int state = VANTOR_UDP_CLIENT_STATE_AUTHORISING;
  char server_host[256] = {};
  uint32_t server_port = 0;
  char interface_name[32] = {};
  uint32_t start = 0;  // 32-bit time of the last establishment
  uint32_t count = 0;  // sessions established
};

struct vantor_udp_client {
  char serial[26] = {};
  char model[9] = {};
  char variant[9] = {};
  char version[12] = {};

  int sock = 0;
  sockaddr_in local_addr = {};
  sockaddr_in server_addr = {};

  delivery_agenda agenda = {};
  std::mutex agenda_mutex;
  task_queue_ptr incoming_requests;
  task_queue_ptr incoming_replies;
  task_queue_ptr outgoing_replies;

  std::atomic<bool> running{false};  // run starts the threads once only
  std::thread send_thread;
  std::thread receive_thread;
  std::thread punch_hole_thread;
  std::thread command_thread;

  // The send thread's wake-up: producers set send_pending under send_mutex
  // before signalling, so a signal that comes between the thread's check and
  // its wait is never lost.
  std::mutex send_mutex;
  std::condition_variable send_cond;
  bool send_pending = false;

  // Lets destroy, and a new session, cut short the punch-hole thread's naps.
  std::mutex nap_mutex;
  std::condition_variable nap_cond;

  // Ends the receive thread's wait on the socket: readable once a byte was
  // written (by destroy, or by a request to re-establish). -1 when the pipe
  // could not be made: the thread then waits in one-tick naps.
  int receive_wake[2] = {-1, -1};
  std::mutex connection_mutex;
  std::atomic<uint32_t> keepalive_interval{25};
  std::atomic<uint32_t> disconnect_timeout{70};

  // Replaced in place by the authorisation, which takes them as char **.
  owned_text session_key;
  owned_text server_host;
  uint32_t server_port = VANTOR_UDP_CLIENT_DEFAULT_PORT;
  owned_text interface_name;
  std::atomic<bool> has_session_key{false};

  std::atomic<uint32_t> reconnect_requested{0};
  std::atomic<uint32_t> reset_sequence{1};
  uint32_t send_seq = 0xFFFFFFFFu;     // send thread only
  uint32_t receive_seq = 0xFFFFFFFFu;  // receive thread only
  // Receive thread only: true until the first server message accepted under
  // the current session key, whose bytes are then kept. Only that message may
  // carry the restart mark; later under the same key the mark is what a
  // replay looks like.
  bool numbering_open = true;
  uint8_t numbering_key[16] = {};
  rejected_packet_log rejections;  // receive thread only

  std::atomic<vantor_udp_client_handler> handlers[VANTOR_UDP_CLIENT_HANDLER_SLOTS] = {};
  std::atomic<vantor_udp_client_handler> spare_handler{nullptr};
  std::atomic<vantor_udp_client_statistics_fn> statistics_callback{nullptr};
  std::atomic<uint32_t> statistics_interval{120};
  vantor_udp_client_statistics statistics = {};
  session_record session;
  std::mutex statistics_mutex;
  // 32-bit times for monitoring, 0 = never: the last sign of the server's
  // life (receive thread) and the last keepalive sent (send thread).
  std::atomic<uint32_t> last_heard{0};
  std::atomic<uint32_t> last_keepalive_sent{0};

  std::atomic<vantor_log_func> log{nullptr};
  vantor_log_func thread_log = nullptr;  // captured at creation, fixed for the threads
  std::atomic<void *> handler_context{nullptr};

  std::string default_host;
  std::string registration_path;
  std::string interface_file;
  std::atomic<uint32_t> stop{0};
  uint32_t black_list_capacity = 0;
  black_list_ptr answered_ids;
  black_list_ptr recent_ids;
  std::atomic<uint16_t> keepalive_now{0};
};

// Thread bodies; each gets the client as its argument.
void *__vantor_udp_client_send_thread_main(void *param);
void *__vantor_udp_client_receive_thread_main(void *param);
void *__vantor_udp_client_punch_hole_thread_main(void *param);
void *__vantor_udp_client_comand_thread_main(void *param);

// One decoded server message (at least the 16-byte header, as it travels)
// with its header decoded, as the receive thread handles it: a message only the device sends
// is refused, then the sequence check, then replies to the send thread and,
// past the black lists, requests to the command thread. Returns true only
// for a sign of the server's life: one of its requests that passed the
// sequence check and is in no black list, or the first reply to one of the
// latest transmissions; a refused, replayed or duplicate message is none.
bool __vantor_udp_client_accept_message(vantor_udp_client *client, vantor_log_func log,
                                        const vtrp_header &header, const uint8_t *message,
                                        uint32_t length);
// One queued server request, as the command thread handles it: its handler
// is called and, when the server wants one, the reply is queued. The task
// stays the caller's.
void __vantor_udp_client_handle_request(vantor_udp_client *client, task_info *task);

// Socket and name resolution, also used when the session is re-established.
int __vantor_udp_client_open_socket(int *sock, const sockaddr_in *local_addr,
                                    const sockaddr_in *server_addr, const char *interface_name,
                                    vantor_log_func log);
int __vantor_udp_client_resolve(const char *host, uint32_t port, sockaddr_in *address);

// Statistics counters (each under the statistics mutex).
void __vantor_udp_client_count_send(vantor_udp_client_statistics *statistics, std::mutex *mutex,
                                    int selector);
void __vantor_udp_client_count_receive(vantor_udp_client_statistics *statistics, std::mutex *mutex,
                                       int selector);
void __vantor_udp_client_count_receive_error(vantor_udp_client_statistics *statistics,
                                             std::mutex *mutex, int selector);

// Session bookkeeping for vantor_udp_client_get_status. record_session:
// a session was just established (call with the credentials stable: under
// connection_mutex, or before the threads run). session_pending: a renewal
// is wanted or under way.
void __vantor_udp_client_record_session(vantor_udp_client *client);
void __vantor_udp_client_session_pending(vantor_udp_client *client);

// Wakes the send thread; safe from any thread, never lost.
void __vantor_udp_client_wake_sender(vantor_udp_client *client);

// Puts an item on the delivery agenda and wakes the send thread; an item the
// agenda cannot take is released.
void __vantor_udp_client_schedule(vantor_udp_client *client, agenda_item_ptr item);

// Authorises (again) with the client's identity and replaces its session
// key, server and interface; the result of __vantor_udp_client_udps_get_auth.
// Call under connection_mutex, or before the threads run.
int __vantor_udp_client_authorise(vantor_udp_client *client, vantor_log_func log);

// Sleeps `ticks` ticks, or less when the client is being stopped.
void __vantor_udp_client_nap(vantor_udp_client *client, int ticks);

// Ends the receive thread's wait, so that it looks at the channel at once.
void __vantor_udp_client_wake_receiver(vantor_udp_client *client);

// Ends the naps of the punch-hole thread, so that it sees keepalive_now.
void __vantor_udp_client_wake_naps(vantor_udp_client *client);

// Length of the channel's one-second tick in milliseconds (set through the
// public header).
int __vantor_udp_client_tick_ms();
