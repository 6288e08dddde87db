// The receive thread: reads, checks and decrypts every datagram, passes
// server requests to the command thread and replies to the send thread,
// measures turnaround, and watches the channel: silence for
// disconnect_timeout, 20 undecryptable packets in a row or a request from
// outside re-establish the session (authorisation, resolution, new socket).
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "channel/client.h"
#include "channel/packet_decoder.h"
#include "channel/vtrp_message.h"
#include "channel/vtrp_packet.h"
#include "https/session_auth.h"
#include "platform/clock.h"

namespace {

constexpr size_t RECEIVE_BUFFER = 600;
constexpr unsigned BAD_PACKET_LIMIT = 20;

struct receive_state {
  vantor_udp_client *client;
  vantor_udp_client_log_fn log;
  int32_t last_receive_time;
  int32_t last_attempt_time;
  int32_t retry_wait = 10;
  unsigned bad_packet_run = 0;
  // Decrypts every packet; keeps the key schedule until the session key changes.
  udp_cipher_context_ptr cipher{udp_cipher_context_new()};
};

// Wraps a copy of the message in a task info and queues it; false when the
// queue (or memory) refused it and the message is lost.
bool queue_copy(vantor_udp_client *c, task_queue *queue, const uint8_t *message, uint32_t length) {
  auto *copy = static_cast<uint8_t *>(std::malloc(length));
  if (!copy) return false;
  std::memcpy(copy, message, length);
  task_info *task = create_task_info(0, c->serial, static_cast<uint32_t>(vt_time()), copy, length);
  if (!task) {
    std::free(copy);
    return false;
  }
  if (unshift_task_queue(queue, task) == 1) return true;
  free_task_info(task);
  return false;
}

void measure_turnaround(vantor_udp_client *c, uint32_t seq) {
  uint32_t slot = seq % 5;
  std::lock_guard<std::mutex> lock(c->statistics_mutex);
  vantor_udp_client_statistics &st = c->statistics;
  if (st.send_seqs[slot] != seq) return;
  timeval now;
  gettimeofday(&now, nullptr);
  int64_t ms = (static_cast<int64_t>(static_cast<uint32_t>(now.tv_sec)) - st.send_times[slot * 2]) * 1000 +
               (static_cast<int64_t>(now.tv_usec) - st.send_times[slot * 2 + 1]) / 1000;
  uint32_t value = static_cast<uint32_t>(ms);
  if (st.turnaround_max < value) st.turnaround_max = value;
  st.turnaround_total += value;
  if (st.turnaround_min > value) st.turnaround_min = value;
}

void reestablish(receive_state &s, int32_t now) {
  vantor_udp_client *c = s.client;
  s.last_attempt_time = now;
  s.log(6, "Reestablish HTTPS + UDP...");
  // The send thread reads the credentials and the socket under this lock,
  // so it never sees them half replaced.
  std::lock_guard<std::mutex> lock(c->connection_mutex);
  int result = __vantor_udp_client_udps_get_auth(
      c->serial, c->model, c->variant, c->version, &c->session_key, &c->reconnect_requested, s.log,
      &c->server_host, &c->server_port, &c->interface_name, c->default_host, c->registration_path,
      c->interface_file);
  c->has_session_key = c->session_key != nullptr;
  if (result == 1) s.retry_wait = 3600;
  if (result == -1) s.retry_wait = 10;
  if (result != 0) return;
  if (__vantor_udp_client_resolve(c->server_host, c->server_port, &c->server_addr) != 0) return;
  if (c->sock != 0) {
    if (c->sock > 0) close(c->sock);
    c->sock = 0;
  }
  if (__vantor_udp_client_open_socket(&c->sock, &c->local_addr, &c->server_addr, c->interface_name,
                                      s.log)) {
    c->reset_sequence = 1;
    c->keepalive_now = 1;
    s.log(6, "Reestablish success");
  } else {
    c->reconnect_requested = 1;
    s.log(3, "Cannot connect to server (%s:%d)", c->server_host, static_cast<int>(c->server_port));
  }
}

void liveness_check(receive_state &s) {
  vantor_udp_client *c = s.client;
  int32_t now = static_cast<int32_t>(vt_time());
  if (now < s.last_receive_time) s.last_receive_time = now;
  if (now - s.last_receive_time >= static_cast<int32_t>(c->disconnect_timeout.load())) {
    c->reconnect_requested = 1;
    s.last_receive_time = now;
  }
  if (c->session_key && c->reconnect_requested == 0) return;
  if (now - s.last_attempt_time < s.retry_wait && now >= s.last_attempt_time) return;
  reestablish(s, now);
}

// Waits up to receive_timeout for the socket; true when a datagram is there.
bool wait_readable(receive_state &s) {
  vantor_udp_client *c = s.client;
  int timeout = c->receive_timeout * __vantor_udp_client_tick_ms();
  if (c->sock <= 0) {
    // No socket (a failed re-creation): nothing to wait on but the clock.
    __vantor_udp_client_nap(c, c->receive_timeout);
    return false;
  }
  pollfd fd = {c->sock, POLLIN, 0};
  return poll(&fd, 1, timeout) > 0 && (fd.revents & POLLIN);
}

}  // namespace

// An accepted message: sequence check for the server's own messages, then
// to the send thread (replies) or, past the black lists, to the command
// thread (requests).
void __vantor_udp_client_accept_message(vantor_udp_client *c, vantor_udp_client_log_fn log,
                                        const uint8_t *message, uint32_t length) {
  vtrp_header h = vtrp_read_header(message);
  if (h.category == VTRP_CATEGORY_SERVER) {
    if (c->receive_seq >= h.seq && c->receive_seq != VTRP_SEQ_RESTART) {
      log(3, "Seq number fail {cur: %lu, exp: %lu}", static_cast<unsigned long>(h.seq),
          static_cast<unsigned long>(c->receive_seq));
      __vantor_udp_client_count_receive_error(&c->statistics, &c->statistics_mutex, 2);
      return;
    }
    c->receive_seq = h.seq;
    if (h.seq == VTRP_SEQ_RESTART) {
      uint32_t threshold = 3 * c->black_list_capacity;
      black_list_cleanup(c->answered_ids, threshold);
      black_list_cleanup(c->recent_ids, threshold);
      log(7, "Cleanup black list by reset seq");
    }
  }
  if (vtrp_is_reply(h.flags)) {
    if (queue_copy(c, c->incoming_replies, message, length)) __vantor_udp_client_wake_sender(c);
    measure_turnaround(c, h.seq);
    return;
  }
  uint32_t now = static_cast<uint32_t>(vt_time());
  if (black_list_item_exist(c->answered_ids, h.id, now, 1) ||
      black_list_item_exist(c->recent_ids, h.id, now, 2)) {
    log(7, "Message (id: %lu) blocked by black list", static_cast<unsigned long>(h.id));
    return;
  }
  add_black_list_item(c->recent_ids, h.id, now + 5);
  queue_copy(c, c->incoming_requests, message, length);
}

void *__vantor_udp_client_receive_thread_main(void *param) {
  auto *c = static_cast<vantor_udp_client *>(param);
  receive_state s{c, c->thread_log, 0, 0};
  s.last_receive_time = s.last_attempt_time = static_cast<int32_t>(vt_time());
  std::unique_ptr<uint8_t[]> datagram(new (std::nothrow) uint8_t[RECEIVE_BUFFER]);
  if (!datagram) {
    s.log(3, "Can't allocate memory (recv_buffer)");
    return nullptr;
  }
  std::unique_ptr<uint8_t[]> message(new (std::nothrow) uint8_t[VTRP_MAX_CIPHERTEXT]);
  if (!message) {
    s.log(3, "Can't allocate memory (decrypt_buffer)");
    return nullptr;
  }

  while (c->stop == 0) {
    if (!wait_readable(s)) {
      liveness_check(s);
      continue;
    }
    sockaddr_in source = {};
    socklen_t source_length = sizeof source;
    ssize_t length = recvfrom(c->sock, datagram.get(), RECEIVE_BUFFER, 0,
                              reinterpret_cast<sockaddr *>(&source), &source_length);
    if (length <= 0) {
      s.log(3, "Recvfrom socket error");
      liveness_check(s);
      continue;
    }
    char address[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &source.sin_addr, address, sizeof address);
    s.log(7, "Recvfrom %s:%d", address, ntohs(source.sin_port));
    s.last_receive_time = static_cast<int32_t>(vt_time());

    uint32_t message_length = 0;
    packet_verdict verdict = vtrp_decode_packet(datagram.get(), static_cast<size_t>(length), c->serial,
                                                c->session_key, message.get(), &message_length,
                                                s.cipher.get());
    if (packet_verdict_is_header_error(verdict)) {
      __vantor_udp_client_count_receive_error(&c->statistics, &c->statistics_mutex, 0);
      continue;
    }
    if (verdict != packet_verdict::ok) {
      s.log(3, verdict == packet_verdict::crc_mismatch ? "Packet CRC err" : "Packet decrypt fail");
      if (++s.bad_packet_run >= BAD_PACKET_LIMIT) {
        c->reconnect_requested = 1;
        s.bad_packet_run = 0;
      }
      __vantor_udp_client_count_receive_error(&c->statistics, &c->statistics_mutex, 1);
      continue;
    }
    s.bad_packet_run = 0;
    __vantor_udp_client_accept_message(s.client, s.log, message.get(), message_length);
    liveness_check(s);
  }
  return nullptr;
}
