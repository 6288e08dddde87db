// The command thread: takes accepted server requests one at a time, calls
// the application's handler for the request's type, answers when the server
// asked for an answer, and reports the channel statistics at their interval.
#include <sys/time.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "channel/byte_order.h"
#include "channel/client.h"
#include "channel/vtrp_message.h"
#include "channel/wire_time.h"

namespace {

constexpr int REQUEST_WAIT_TICKS = 5;
constexpr int STATISTICS_OFF_WAIT_TICKS = 60;
constexpr size_t ACTION_VALUE_LENGTH = 4;

template <typename Fn>
Fn slot(vantor_udp_client *c, int index) {
  return reinterpret_cast<Fn>(c->handlers[index].load());
}

// Reads the entries of an action request into records for the handler.
// Returns the handler's result, or 1 when the request is malformed: a
// payload shorter than 5 bytes, a count of 0 or less, a negative length or an
// entry that runs past the message is refused without reading past it.
int run_action(vantor_udp_client *c, void *ctx, const uint8_t *payload, size_t length) {
  if (length < ACTION_VALUE_LENGTH + 1) return 1;
  uint32_t value = vt_load_be32(payload);
  int count = static_cast<int8_t>(payload[4]);
  if (count <= 0) return 1;

  size_t offset = ACTION_VALUE_LENGTH + 1;
  for (int i = 0; i < count; ++i) {
    if (offset >= length) return 1;
    int entry_length = static_cast<int8_t>(payload[offset]);
    if (entry_length < 0 || offset + 1 + static_cast<size_t>(entry_length) > length) return 1;
    offset += 1 + static_cast<size_t>(entry_length);
  }

  owned<vantor_udp_client_action_entry[]> records(static_cast<vantor_udp_client_action_entry *>(
      std::calloc(static_cast<size_t>(count), sizeof(vantor_udp_client_action_entry))));
  if (!records) return 2;
  offset = ACTION_VALUE_LENGTH + 1;
  for (int i = 0; i < count; ++i) {
    int entry_length = static_cast<int8_t>(payload[offset]);
    records[i].length = entry_length;
    std::memcpy(records[i].text, payload + offset + 1, static_cast<size_t>(entry_length));
    offset += 1 + static_cast<size_t>(entry_length);
  }
  auto handler = slot<vantor_udp_client_action_fn>(c, 3);
  return handler ? handler(ctx, value, count, records.get()) : 1;
}

int call_handler(vantor_udp_client *c, const vtrp_header &h, const uint8_t *payload, size_t length) {
  void *ctx = c->handler_context.load();
  switch (h.type) {
    case VTRP_TYPE_FEATURE_INVITATION: {
      auto handler = slot<vantor_udp_client_invitation_fn>(c, 0);
      return length >= 4 && handler ? handler(ctx, vt_load_be32(payload)) : 1;
    }
    case VTRP_TYPE_NOTICE: {
      auto handler = slot<vantor_udp_client_notice_fn>(c, 1);
      return length >= 3 && handler ? handler(ctx, static_cast<int16_t>(vt_load_be16(payload)),
                                              static_cast<int8_t>(payload[2]))
                                    : 1;
    }
    case VTRP_TYPE_REBOOT:
    case VTRP_TYPE_DEBUG_DUMP: {
      auto handler = slot<vantor_udp_client_simple_fn>(c, h.type == VTRP_TYPE_REBOOT ? 2 : 4);
      return handler ? handler(ctx) : 1;
    }
    case VTRP_TYPE_ACTION:
      return run_action(c, ctx, payload, length);
    default:
      return 1;
  }
}

void queue_reply(vantor_udp_client *c, const vtrp_header &request, int result, const uint8_t *payload,
                 size_t payload_length) {
  vtrp_header h = request;
  h.flags = result == 1 ? VTRP_FLAGS_REPLY_FAILED : VTRP_FLAGS_REPLY_OK;
  // The action reply echoes the request id; a request too short to hold one
  // gets what there is, the rest zero.
  uint8_t echo[ACTION_VALUE_LENGTH] = {};
  const bool action = request.type == VTRP_TYPE_ACTION;
  if (action) std::memcpy(echo, payload, std::min(payload_length, ACTION_VALUE_LENGTH));
  uint8_t reply[VTRP_HEADER_LENGTH + ACTION_VALUE_LENGTH];
  const uint32_t length = vtrp_encode_message(reply, h, echo, action ? ACTION_VALUE_LENGTH : 0);
  h.crc = vt_load_be32(reply);
  task_info_ptr task = task_info_for_message(c->serial, vt_time32(), h, reply, length);
  if (!task || unshift_task_queue(c->outgoing_replies.get(), task.get()) != 1) return;
  task.release();
  __vantor_udp_client_wake_sender(c);
}

void report_statistics(vantor_udp_client *c, vantor_log_func log) {
  // Handlers and log lines get a copy taken under the lock, never the live
  // record that the other threads are changing.
  vantor_udp_client_statistics st;
  {
    std::lock_guard<std::mutex> lock(c->statistics_mutex);
    st = c->statistics;
  }
  if (auto callback = c->statistics_callback.load()) {
    callback(c->handler_context.load(), &st);
    return;
  }
  vantor_udp_client_log_statistics(log, "UDP Client Library statistic", &st);
}

}  // namespace

void vantor_udp_client_log_statistics(vantor_log_func log, const char *title,
                                      const vantor_udp_client_statistics *st) {
  using ul = unsigned long;
  log(VT_LOG_INFO, "%s", title);
  log(VT_LOG_INFO, "\tPeer recv:  %7lu\t send: %7lu", ul(st->peer_recv), ul(st->peer_send));
  log(VT_LOG_INFO, "\tLocal recv: %7lu\t send: %7lu", ul(st->local_recv), ul(st->local_send));
  log(VT_LOG_INFO, "\tHeader err: %7lu\t Decrypt err: %7lu\t Seq err: %7lu\t (Total %7lu)", ul(st->header_errors),
      ul(st->decrypt_errors), ul(st->seq_errors),
      ul(static_cast<uint32_t>(st->header_errors + st->decrypt_errors + st->seq_errors)));
  // No average before the first reply.
  if (st->local_recv != 0)
    log(VT_LOG_INFO, "\tTurnaround time(msec): Average = %lu\t Max = %lu\t Min = %lu",
        ul(st->turnaround_total / st->local_recv), ul(st->turnaround_max), ul(st->turnaround_min));
}

namespace {

// The wait for a request ends in time for the next statistics report; with
// reports off it ends only now and then, to see them turned on.
timespec request_deadline(long ticks) {
  timespec deadline;
  clock_gettime(CLOCK_REALTIME, &deadline);
  long ms = ticks * __vantor_udp_client_tick_ms();
  deadline.tv_sec += ms / 1000;
  deadline.tv_nsec += (ms % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  return deadline;
}

}  // namespace

void __vantor_udp_client_handle_request(vantor_udp_client *c, task_info *task) {
  if (task->length < VTRP_HEADER_LENGTH) return;
  const vtrp_header &h = task->header;
  if (h.category != VTRP_CATEGORY_SERVER) return;
  const uint8_t *payload = task->data + VTRP_HEADER_LENGTH;
  size_t payload_length = task->length - VTRP_HEADER_LENGTH;
  int result = call_handler(c, h, payload, payload_length);
  if ((h.flags & VTRP_FLAG_REPLY_WANTED) && result != 2) queue_reply(c, h, result, payload, payload_length);
  __vantor_udp_client_count_receive(&c->statistics, &c->statistics_mutex, 1);
}

void *__vantor_udp_client_comand_thread_main(void *param) {
  auto *c = static_cast<vantor_udp_client *>(param);
  vantor_log_func log = c->thread_log;
  bool reported = false;
  uint32_t last_report = 0;
  while (c->stop == 0) {
    const uint32_t interval_now = c->statistics_interval;
    long ticks = REQUEST_WAIT_TICKS;
    if (interval_now == 0) {
      ticks = STATISTICS_OFF_WAIT_TICKS;
    } else if (reported) {
      int32_t since = vt_seconds_between(last_report, vt_time32());
      ticks = since < 0 ? 1 : std::max<long>(1, static_cast<long>(interval_now) - since);
    }
    timespec deadline = request_deadline(ticks);
    if (task_info_ptr task{shift_task_queue_ex(c->incoming_requests.get(), 1, &deadline)})
      __vantor_udp_client_handle_request(c, task.get());
    if (c->stop != 0) break;
    uint32_t interval = c->statistics_interval;
    if (interval == 0) continue;
    uint32_t now = vt_time32();
    int32_t since = vt_seconds_between(last_report, now);
    if (reported && since >= 0 && since < static_cast<int32_t>(interval)) continue;
    report_statistics(c, log);
    reported = true;
    last_report = now;
  }
  return nullptr;
}
