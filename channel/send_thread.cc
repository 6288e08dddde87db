// The send thread: the only sender of packets. It transmits and retransmits
// the agenda (keepalives, GPS reports), settles agenda items whose reply has
// arrived, and sends the replies that the command thread built.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

#include "channel/client.h"
#include "channel/vtrp_message.h"
#include "channel/vtrp_packet.h"
#include "channel/wire_time.h"

namespace {

struct send_state {
  vantor_udp_client *client;
  vantor_log_func log;
  uint32_t next_pass;  // seconds; a pass is due from then on
  uint32_t last_pass;  // when the latest pass began
  // Encrypts every packet; keeps the key schedule until the session key changes.
  udp_cipher_context_ptr cipher{udp_cipher_context_new()};
};

bool queues_empty(vantor_udp_client *c) {
  return get_task_queue_size(c->outgoing_replies.get()) == 0 &&
         get_task_queue_size(c->incoming_replies.get()) == 0;
}

// Seconds until the agenda next needs a pass: an item to send, to send
// again or to drop; -1 when the agenda is empty.
int32_t seconds_to_agenda(vantor_udp_client *c, uint32_t now) {
  std::lock_guard<std::mutex> lock(c->agenda_mutex);
  int32_t first = -1;
  auto consider = [&first](int32_t seconds) {
    if (seconds < 0) seconds = 0;
    if (first < 0 || seconds < first) first = seconds;
  };
  for (uint32_t i = 0; i < delivery_agenda_get_num_item(&c->agenda); ++i) {
    agenda_item *item = nullptr;
    if (delivery_agenda_get_item(&c->agenda, &item, i) != 0 || !item) continue;
    consider(item->next_send == 0 ? 0 : vt_seconds_between(now, item->next_send));
    if (item->expires != 0) consider(vt_seconds_between(now, item->expires));
  }
  return first;
}

// Waits until the next agenda pass is due, or until a producer has work (a
// new agenda item, a reply to send or to settle) or a stop. Passes are at
// least a second apart; an empty agenda needs none.
void wait_for_work(send_state &s) {
  vantor_udp_client *c = s.client;
  const uint32_t now = vt_time32();
  int32_t seconds = vt_seconds_between(now, s.next_pass);
  if (seconds < 0) seconds = 0;
  if (seconds > 1) seconds = 1;  // a clock set back
  const int32_t agenda = seconds_to_agenda(c, now);
  // A clock set far back makes an item look far off: it is looked at again
  // within a minute.
  if (agenda > seconds) seconds = agenda < 60 ? agenda : 60;
  const int64_t tick = __vantor_udp_client_tick_ms();
  auto woken = [c] { return c->send_pending || c->stop.load() != 0; };
  std::unique_lock<std::mutex> lock(c->send_mutex);
  if (queues_empty(c) && !c->send_pending) {
    if (agenda < 0)
      c->send_cond.wait(lock, woken);
    else
      c->send_cond.wait_for(lock, std::chrono::milliseconds(int64_t{seconds} * tick), woken);
  }
  c->send_pending = false;
}

void settle_replies(send_state &s) {
  vantor_udp_client *c = s.client;
  for (uint32_t n = get_task_queue_size(c->incoming_replies.get()); n > 0; --n) {
    task_info_ptr reply(shift_task_queue_ex(c->incoming_replies.get(), 0, nullptr));
    if (!reply) break;
    int found;
    {
      std::lock_guard<std::mutex> lock(c->agenda_mutex);
      found = delivery_agenda_delete_item_by_id_seq(&c->agenda, 0, reply->header.seq) == 0;
    }
    if (found) __vantor_udp_client_count_receive(&c->statistics, &c->statistics_mutex, 0);
  }
}

// Sends one packet on the socket, under the connection lock; false when the
// packet could not be made or sent. The key and the address are read under
// the same lock as the re-establishment that replaces them.
bool transmit(send_state &s, const uint8_t *message, uint32_t length, const char *compose_error) {
  vantor_udp_client *c = s.client;
  std::lock_guard<std::mutex> lock(c->connection_mutex);
  uint8_t packet[VTRP_MAX_PACKET];
  const uint32_t packet_length =
      c->session_key ? vtrp_compose_packet_into(packet, message, length, c->serial,
                                                c->session_key.get(), VTRP_PACKET_KIND_NAME,
                                                s.cipher.get())
                     : 0;
  if (packet_length == 0) {
    s.log(VT_LOG_DEBUG, "%s", compose_error);
    return false;
  }
  ssize_t sent = sendto(c->sock, packet, packet_length, 0,
                        reinterpret_cast<const sockaddr *>(&c->server_addr), sizeof c->server_addr);
  if (sent < static_cast<ssize_t>(packet_length)) {
    s.log(VT_LOG_ERR, "Sendto socket error");
    return false;
  }
  char address[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &c->server_addr.sin_addr, address, sizeof address);
  s.log(VT_LOG_DEBUG, "Sendto %s:%d", address, ntohs(c->server_addr.sin_port));
  return true;
}

void expiry_pass(send_state &s) {
  vantor_udp_client *c = s.client;
  std::lock_guard<std::mutex> lock(c->agenda_mutex);
  uint32_t t = vt_time32();
  for (uint32_t i = 0; i < delivery_agenda_get_num_item(&c->agenda); ++i) {
    agenda_item *item = nullptr;
    if (delivery_agenda_get_item(&c->agenda, &item, i) != 0 || !item) continue;
    if (item->expires != 0 && vt_seconds_between(item->expires, t) >= 0) {
      delivery_agenda_delete_item(&c->agenda, i);
      --i;
    }
  }
}

// The send time and seq of a transmission that wants a reply, stored before
// the packet goes out: the reply may arrive before sendto returns.
void record_send_time(vantor_udp_client *c, uint32_t seq) {
  timeval tv;
  gettimeofday(&tv, nullptr);
  std::lock_guard<std::mutex> stats(c->statistics_mutex);
  uint32_t slot = seq % 5;
  c->statistics.send_times[slot * 2] = static_cast<uint32_t>(tv.tv_sec);
  c->statistics.send_times[slot * 2 + 1] = static_cast<uint32_t>(tv.tv_usec);
  c->statistics.send_seqs[slot] = seq;
}

void transmission_pass(send_state &s, uint32_t t) {
  vantor_udp_client *c = s.client;
  std::lock_guard<std::mutex> lock(c->agenda_mutex);
  uint32_t count = delivery_agenda_get_num_item(&c->agenda);
  for (uint32_t i = 0; i < count && i < delivery_agenda_get_num_item(&c->agenda); ++i) {
    agenda_item *item = nullptr;
    if (delivery_agenda_get_item(&c->agenda, &item, i) != 0 || !item) continue;
    // next_send 0: due at once, whatever the clock says.
    if (item->next_send != 0 && vt_seconds_between(item->next_send, t) < 0) continue;

    if (c->reset_sequence.exchange(0) != 0)
      c->send_seq = 0xFFFFFFFFu;
    else
      ++c->send_seq;
    item->seq = c->send_seq;
    if (item->id == 0) item->id = item->seq;

    uint8_t message[512];
    uint32_t length = 0;
    if (item->flags != 0) record_send_time(c, item->seq);
    if (vtrp_compose_message(message, item, &length) == 0) {
      if (transmit(s, message, length, "Send agenda compose packet err") &&
          item->category == VTRP_CATEGORY_KEEPALIVE)
        c->last_keepalive_sent = vt_time32();
    } else
      s.log(VT_LOG_DEBUG, "Send agenda compose packet err");

    item->last_send = vt_time32();
    item->next_send = item->last_send + item->retry_interval;
    item->retry_interval *= 2;
    __vantor_udp_client_count_send(&c->statistics, &c->statistics_mutex, 0);

    if (item->flags == 0) {
      // Sent once, never retransmitted: gone from the agenda now.
      delivery_agenda_delete_item(&c->agenda, i);
      --i;
      --count;
      continue;
    }
  }
}

void send_replies(send_state &s) {
  vantor_udp_client *c = s.client;
  for (uint32_t n = get_task_queue_size(c->outgoing_replies.get()); n > 0; --n) {
    task_info_ptr reply(shift_task_queue_ex(c->outgoing_replies.get(), 0, nullptr));
    if (!reply) break;
    // Remembered before sending, so that a retransmitted request is not
    // carried out again even when this reply is lost.
    add_black_list_item(c->answered_ids.get(), reply->header.id, vt_time32());
    if (transmit(s, reply->data, reply->length, "send ack compose packet err"))
      __vantor_udp_client_count_send(&c->statistics, &c->statistics_mutex, 1);
  }
}

}  // namespace

void *__vantor_udp_client_send_thread_main(void *param) {
  auto *client = static_cast<vantor_udp_client *>(param);
  uint32_t start = vt_time32();
  send_state s{client, client->thread_log, start, start};
  while (client->stop == 0) {
    wait_for_work(s);
    if (client->stop != 0) break;
    settle_replies(s);

    uint32_t now = vt_time32();
    if (vt_seconds_between(s.next_pass, now) >= 0 || vt_seconds_between(s.last_pass, now) < 0) {
      uint32_t next_pass = now + 1;
      expiry_pass(s);
      uint32_t t = vt_time32();
      transmission_pass(s, t);
      s.next_pass = next_pass;
      s.last_pass = t;
    }
    send_replies(s);
  }
  return nullptr;
}
