// The receive thread: reads, checks and decrypts every datagram, passes
// server requests to the command thread and replies to the send thread,
// measures turnaround, and watches the channel: silence for
// disconnect_timeout, 20 undecryptable packets in a row or a request from
// outside re-establish the session (authorisation, resolution, new socket).
//
// Only the server can prove it is alive: a datagram counts as a sign of life
// when it decrypted under the session key, passed the CRC, is a message the
// server sends (never one of the device's own, sent back to it) and, for the
// server's own messages, passed the sequence check. Anyone can send the
// rest, so a trickle or a flood of them never keeps a dead session open; and
// since the liveness check runs after every datagram, a flood cannot starve
// it either.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <memory>

#include "channel/client.h"
#include "channel/packet_decoder.h"
#include "channel/vtrp_message.h"
#include "channel/vtrp_packet.h"
#include "channel/wire_time.h"
#include "https/session_auth.h"
#include "platform/log.h"

namespace {

constexpr size_t RECEIVE_BUFFER = 600;
constexpr unsigned BAD_PACKET_LIMIT = 20;
constexpr int32_t REJECTION_LOG_INTERVAL = 60;

struct receive_state {
  vantor_udp_client *client;
  vantor_log_func log;
  uint32_t last_receive_time;
  uint32_t last_attempt_time;
  int32_t retry_wait = 10;
  unsigned bad_packet_run = 0;
  // Decrypts every packet; keeps the key schedule until the session key changes.
  udp_cipher_context_ptr cipher{udp_cipher_context_new()};
};

void remember_counts(vantor_udp_client *c) {
  std::lock_guard<std::mutex> lock(c->statistics_mutex);
  c->rejections.counted[0] = c->statistics.header_errors;
  c->rejections.counted[1] = c->statistics.decrypt_errors;
  c->rejections.counted[2] = c->statistics.seq_errors;
}

// True when a line about a rejected packet may be written now; otherwise it
// is held back and counted. Called after the rejection was counted.
bool may_log_rejection(vantor_udp_client *c) {
  rejected_packet_log &r = c->rejections;
  if (r.quiet) {
    ++r.held;
    return false;
  }
  r.quiet = true;
  r.since = vt_time32();
  r.held = 0;
  remember_counts(c);
  return true;
}

// Once the minute after a line is over: one line with the counts since, when
// lines were held back; otherwise the next rejection is logged as it is.
void report_held_rejections(vantor_udp_client *c, vantor_log_func log, uint32_t now) {
  rejected_packet_log &r = c->rejections;
  int32_t elapsed = vt_seconds_between(r.since, now);
  if (!r.quiet || (elapsed >= 0 && elapsed < REJECTION_LOG_INTERVAL)) return;
  if (r.held == 0) {
    r.quiet = false;
    return;
  }
  uint32_t counted[3];
  std::copy(r.counted, r.counted + 3, counted);
  remember_counts(c);
  log(VT_LOG_ERR, "Packets rejected in the last %lu s: Header err %lu, Decrypt err %lu, Seq err %lu",
      static_cast<unsigned long>(elapsed < 0 ? 0 : elapsed), static_cast<unsigned long>(r.counted[0] - counted[0]),
      static_cast<unsigned long>(r.counted[1] - counted[1]),
      static_cast<unsigned long>(r.counted[2] - counted[2]));
  r.since = now;
  r.held = 0;
}

// Queues a copy of the message with its decoded header; false when the
// queue (or memory) refused it and the message is lost.
bool queue_copy(vantor_udp_client *c, task_queue *queue, const vtrp_header &h,
                const uint8_t *message, uint32_t length) {
  task_info_ptr task = task_info_for_message(c->serial, vt_time32(), h, message, length);
  if (!task || unshift_task_queue(queue, task.get()) != 1) return false;
  task.release();
  return true;
}

// True only for the first reply to one of the latest transmissions: a reply
// recorded and sent again later answers nothing open, so it can neither
// pass for a sign of the server's life nor be measured twice.
bool measure_turnaround(vantor_udp_client *c, uint32_t seq) {
  uint32_t slot = seq % 5;
  std::lock_guard<std::mutex> lock(c->statistics_mutex);
  vantor_udp_client_statistics &st = c->statistics;
  if (st.send_seqs[slot] != seq) return false;
  // 2^31 is 3 modulo 5: the changed seq never belongs to this slot again.
  st.send_seqs[slot] = seq ^ 0x80000000u;
  timeval now;
  gettimeofday(&now, nullptr);
  int64_t seconds = vt_seconds_between(st.send_times[slot * 2], static_cast<uint32_t>(now.tv_sec));
  int64_t ms = seconds * 1000 + (static_cast<int64_t>(now.tv_usec) - st.send_times[slot * 2 + 1]) / 1000;
  uint32_t value = static_cast<uint32_t>(ms);
  if (st.turnaround_max < value) st.turnaround_max = value;
  st.turnaround_total += value;
  if (st.turnaround_min > value) st.turnaround_min = value;
  return true;
}

void reestablish(receive_state &s, uint32_t now) {
  vantor_udp_client *c = s.client;
  s.last_attempt_time = now;
  __vantor_udp_client_session_pending(c);
  s.log(VT_LOG_INFO, "Reestablish HTTPS + UDP...");
  // The send thread reads the credentials and the socket under this lock,
  // so it never sees them half replaced.
  std::lock_guard<std::mutex> lock(c->connection_mutex);
  int result = __vantor_udp_client_authorise(c, s.log);
  if (c->session_key) {
    // A key the server has not numbered under starts a new numbering, which
    // may begin with the restart mark: nothing recorded under another key
    // decrypts under this one.
    uint8_t key[VTRP_KEY_LENGTH];
    vtrp_session_key_bytes(c->session_key.get(), key);
    c->numbering_open = std::memcmp(key, c->numbering_key, sizeof key) != 0;
  }
  if (result == 1) s.retry_wait = 3600;
  if (result == -1) s.retry_wait = 10;
  if (result != 0) return;
  if (__vantor_udp_client_resolve(c->server_host.get(), c->server_port, &c->server_addr) != 0) return;
  if (c->sock != 0) {
    if (c->sock > 0) close(c->sock);
    c->sock = 0;
  }
  if (__vantor_udp_client_open_socket(&c->sock, &c->local_addr, &c->server_addr,
                                      c->interface_name.get(), s.log)) {
    c->reset_sequence = 1;
    c->keepalive_now = 1;
    __vantor_udp_client_record_session(c);
    __vantor_udp_client_wake_naps(c);
    s.log(VT_LOG_INFO, "Reestablish success");
  } else {
    c->reconnect_requested = 1;
    s.log(VT_LOG_ERR, "Cannot connect to server (%s:%d)", c->server_host.get(), static_cast<int>(c->server_port));
  }
}

// Runs after every datagram (now: when it came) and every wait that ended
// without one.
void liveness_check(receive_state &s, uint32_t now = vt_time32()) {
  vantor_udp_client *c = s.client;
  report_held_rejections(c, s.log, now);
  int32_t silence = vt_seconds_between(s.last_receive_time, now);
  if (silence < 0) s.last_receive_time = now;  // the clock went back
  if (silence >= static_cast<int32_t>(c->disconnect_timeout.load())) {
    c->reconnect_requested = 1;
    s.last_receive_time = now;
  }
  if (c->session_key && c->reconnect_requested == 0) return;
  __vantor_udp_client_session_pending(c);
  int32_t since_attempt = vt_seconds_between(s.last_attempt_time, now);
  if (since_attempt < s.retry_wait && since_attempt >= 0) return;
  reestablish(s, now);
}

// Seconds until the liveness check has something to do when no datagram
// comes: the end of the silence the channel allows, the next attempt to
// re-establish, the end of a quiet minute for rejection lines.
int32_t seconds_to_next_check(const receive_state &s) {
  vantor_udp_client *c = s.client;
  const uint32_t now = vt_time32();
  const int32_t limit = static_cast<int32_t>(c->disconnect_timeout.load());
  int32_t left = limit - vt_seconds_between(s.last_receive_time, now);
  if (!c->session_key || c->reconnect_requested != 0)
    left = std::min(left, s.retry_wait - vt_seconds_between(s.last_attempt_time, now));
  if (c->rejections.quiet)
    left = std::min(left, REJECTION_LOG_INTERVAL - vt_seconds_between(c->rejections.since, now));
  // A clock set back makes the times look far off; the check sorts that out.
  return std::max<int32_t>(0, std::min(left, limit));
}

// Waits for a datagram until the liveness check is due or the thread is
// woken (a stop, a request to re-establish); true when a datagram is there.
bool wait_readable(receive_state &s) {
  vantor_udp_client *c = s.client;
  const int tick = __vantor_udp_client_tick_ms();
  int timeout = seconds_to_next_check(s) * tick;
  if (c->receive_wake[0] < 0 && timeout > tick) timeout = tick;
  // No socket (a failed re-creation): nothing to wait on but the clock and a wake-up.
  pollfd fds[2] = {{c->sock > 0 ? c->sock : -1, POLLIN, 0}, {c->receive_wake[0], POLLIN, 0}};
  if (poll(fds, 2, timeout) <= 0) return false;
  // An ICMP error for the connected socket (the server's port closed) stays
  // pending, and poll() reports it at once, again and again, until it is
  // taken: take it here, or a device whose server is gone spins on it.
  if (fds[0].revents & POLLERR) {
    int pending = 0;
    socklen_t size = sizeof pending;
    getsockopt(c->sock, SOL_SOCKET, SO_ERROR, &pending, &size);
  }
  if (fds[1].revents & POLLIN) {
    char drain[16];
    while (read(c->receive_wake[0], drain, sizeof drain) > 0) {
    }
  }
  return (fds[0].revents & POLLIN) != 0;
}

// Messages that only the device sends: its keepalives and its reports
// (requests of categories 0 and 2) and its replies to the server's requests
// (replies of category 1). The server sends none of them, so one that
// arrives is the device's own traffic recorded and sent back to it: it
// decrypts under the session key and names the device's serial, yet it
// proves nothing about the server.
bool only_the_device_sends(const vtrp_header &h) {
  bool reply = vtrp_is_reply(h.flags);
  switch (h.category) {
    case VTRP_CATEGORY_KEEPALIVE:
    case VTRP_CATEGORY_DEVICE:
      return !reply;
    case VTRP_CATEGORY_SERVER:
      return reply;
    default:
      return false;
  }
}

}  // namespace

// A decoded message: the device's own messages are refused first (counted
// with the foreign packets), then the sequence check for the server's own
// messages, then to the send thread (replies) or, past the black lists, to
// the command thread (requests).
//
// The server's numbering may restart (the restart mark 0xFFFFFFFF, then 0,
// 1, ...) only as the first server message under a session key. Anyone who
// recorded a session could otherwise replay its restart mark and then any
// request of it: the mark lifts the sequence check and the ids it cleans
// from the black lists would be carried out again. A server that restarts
// its numbering later in a session therefore gets a new session: its mark
// is refused and re-establishment requested (within retry_wait), and the new
// key opens a new numbering.
bool __vantor_udp_client_accept_message(vantor_udp_client *c, vantor_log_func log,
                                        const vtrp_header &h, const uint8_t *message,
                                        uint32_t length) {
  if (only_the_device_sends(h)) {
    __vantor_udp_client_count_receive_error(&c->statistics, &c->statistics_mutex, 0);
    return false;
  }
  if (h.category == VTRP_CATEGORY_SERVER) {
    bool restart = h.seq == VTRP_SEQ_RESTART;
    bool in_order = c->numbering_open ? true
                    : restart         ? false
                                      : c->receive_seq < h.seq || c->receive_seq == VTRP_SEQ_RESTART;
    if (!in_order) {
      __vantor_udp_client_count_receive_error(&c->statistics, &c->statistics_mutex, 2);
      if (may_log_rejection(c))
        log(VT_LOG_ERR, "Seq number fail {cur: %lu, exp: %lu}", static_cast<unsigned long>(h.seq),
            static_cast<unsigned long>(c->receive_seq));
      if (restart) c->reconnect_requested = 1;
      return false;
    }
    if (c->numbering_open) {
      c->numbering_open = false;
      vtrp_session_key_bytes(c->session_key.get(), c->numbering_key);
    }
    c->receive_seq = h.seq;
    if (restart) {
      uint32_t threshold = 3 * c->black_list_capacity;
      black_list_cleanup(c->answered_ids.get(), threshold);
      black_list_cleanup(c->recent_ids.get(), threshold);
      log(VT_LOG_DEBUG, "Cleanup black list by reset seq");
    }
  }
  if (vtrp_is_reply(h.flags)) {
    if (queue_copy(c, c->incoming_replies.get(), h, message, length)) __vantor_udp_client_wake_sender(c);
    return measure_turnaround(c, h.seq);
  }
  uint32_t now = vt_time32();
  if (black_list_item_exist(c->answered_ids.get(), h.id, now, 1) ||
      black_list_item_exist(c->recent_ids.get(), h.id, now, 2)) {
    log(VT_LOG_DEBUG, "Message (id: %lu) blocked by black list", static_cast<unsigned long>(h.id));
    // A duplicate: whoever recorded the first copy can send it again.
    return false;
  }
  add_black_list_item(c->recent_ids.get(), h.id, now + 5);
  queue_copy(c, c->incoming_requests.get(), h, message, length);
  // Only the server's own numbered requests and fresh replies show that it
  // is alive; any other message could be a recording.
  return h.category == VTRP_CATEGORY_SERVER;
}

void *__vantor_udp_client_receive_thread_main(void *param) {
  auto *c = static_cast<vantor_udp_client *>(param);
  receive_state s{c, c->thread_log, 0, 0};
  s.last_receive_time = s.last_attempt_time = vt_time32();
  std::unique_ptr<uint8_t[]> datagram(new (std::nothrow) uint8_t[RECEIVE_BUFFER]);
  if (!datagram) {
    s.log(VT_LOG_ERR, "Can't allocate memory (recv_buffer)");
    return nullptr;
  }
  std::unique_ptr<uint8_t[]> message(new (std::nothrow) uint8_t[VTRP_MAX_CIPHERTEXT]);
  if (!message) {
    s.log(VT_LOG_ERR, "Can't allocate memory (decrypt_buffer)");
    return nullptr;
  }

  // After a datagram the next one is read without waiting first: under a
  // flood the socket is never empty, and one system call per datagram instead
  // of two about halves what a rejected datagram costs. An empty socket sends
  // the thread back to the wait.
  bool may_be_empty = true;
  while (c->stop == 0) {
    if ((may_be_empty || c->sock <= 0) && !wait_readable(s)) {
      liveness_check(s);
      continue;
    }
    // The sender's address serves only the debug line: without it the
    // kernel need not copy it out.
    const bool trace = vt_log_writes_debug(s.log);
    sockaddr_in source = {};
    socklen_t source_length = sizeof source;
    ssize_t length = recvfrom(c->sock, datagram.get(), RECEIVE_BUFFER, MSG_DONTWAIT,
                              trace ? reinterpret_cast<sockaddr *>(&source) : nullptr,
                              trace ? &source_length : nullptr);
    may_be_empty = length < 0;
    if (length < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
    // The server was alive when its datagram came, not when the message was
    // handed on: the threads it is handed to may run (and the clock move)
    // before this one takes the time again.
    uint32_t arrived = vt_time32();
    // An empty datagram is not a socket error: it is rejected as too short
    // below, counted and not logged, like any other garbage.
    if (length < 0) {
      s.log(VT_LOG_ERR, "Recvfrom socket error");
      liveness_check(s);
      continue;
    }
    if (trace) {
      char address[INET_ADDRSTRLEN] = "";
      inet_ntop(AF_INET, &source.sin_addr, address, sizeof address);
      s.log(VT_LOG_DEBUG, "Recvfrom %s:%d", address, ntohs(source.sin_port));
    }

    uint32_t message_length = 0;
    vtrp_header header{};
    packet_verdict verdict = vtrp_decode_packet(datagram.get(), static_cast<size_t>(length), c->serial,
                                                c->session_key.get(), message.get(), &message_length,
                                                &header, s.cipher.get());
    if (packet_verdict_is_header_error(verdict)) {
      __vantor_udp_client_count_receive_error(&c->statistics, &c->statistics_mutex, 0);
    } else if (verdict != packet_verdict::ok) {
      if (++s.bad_packet_run >= BAD_PACKET_LIMIT) {
        c->reconnect_requested = 1;
        s.bad_packet_run = 0;
      }
      __vantor_udp_client_count_receive_error(&c->statistics, &c->statistics_mutex, 1);
      if (may_log_rejection(c))
        s.log(VT_LOG_ERR, verdict == packet_verdict::crc_mismatch ? "Packet CRC err" : "Packet decrypt fail");
    } else {
      s.bad_packet_run = 0;
      if (__vantor_udp_client_accept_message(c, s.log, header, message.get(), message_length)) {
        s.last_receive_time = arrived;
        c->last_heard = s.last_receive_time;
      }
    }
    liveness_check(s, arrived);
  }
  return nullptr;
}
