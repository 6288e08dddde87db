// The punch-hole thread: one keepalive into the agenda every
// keepalive_interval seconds once the channel has a session key. Each
// keepalive expires when the next one is due, so at most one is live.
#include <chrono>
#include <cstring>
#include <utility>

#include "channel/client.h"
#include "channel/vtrp_message.h"
#include "channel/wire_time.h"

namespace {

// Sleeps until the next keepalive is due (at most one interval), a keepalive
// is asked for at once under a session key, or a stop. Without a session key
// it looks again every tick: the key may come from an authorisation that
// does not wake this thread.
void nap_until_due(vantor_udp_client *c, uint32_t next_keepalive) {
  int32_t seconds = vt_seconds_between(vt_time32(), next_keepalive);
  const int32_t interval = static_cast<int32_t>(c->keepalive_interval.load());
  if (seconds > interval) seconds = interval;
  if (seconds < 1 || !c->has_session_key) seconds = 1;
  const auto wait = std::chrono::milliseconds(int64_t{seconds} * __vantor_udp_client_tick_ms());
  std::unique_lock<std::mutex> lock(c->nap_mutex);
  c->nap_cond.wait_for(lock, wait, [c] {
    return c->stop.load() != 0 || (c->keepalive_now.load() != 0 && c->has_session_key.load());
  });
}

}  // namespace

void *__vantor_udp_client_punch_hole_thread_main(void *param) {
  auto *c = static_cast<vantor_udp_client *>(param);
  // The first keepalive is due at once.
  uint32_t next_keepalive = vt_time32();
  uint32_t last_keepalive = next_keepalive;

  for (;;) {
    uint32_t now = vt_time32();
    if (c->stop != 0) break;
    bool clock_went_back = vt_seconds_between(last_keepalive, now) < 0;
    bool due = vt_seconds_between(next_keepalive, now) >= 0 || clock_went_back || c->keepalive_now != 0;
    if (!due || !c->has_session_key) {
      nap_until_due(c, next_keepalive);
      continue;
    }
    agenda_item_ptr item = delivery_agenda_new_item();
    if (!item) {
      __vantor_udp_client_nap(c, 1);
      continue;
    }
    if (c->keepalive_now.exchange(0) != 0) next_keepalive = vt_time32();

    uint32_t interval = c->keepalive_interval.load();
    next_keepalive += interval;
    if (vt_seconds_between(now, next_keepalive) <= 0 || clock_went_back) next_keepalive = now + interval;

    std::memcpy(item->serial, c->serial, sizeof item->serial);
    item->created = vt_time32();
    item->retry_interval = 10;
    item->expires = next_keepalive;
    item->flags = VTRP_FLAG_REPLY_WANTED;
    item->category = VTRP_CATEGORY_KEEPALIVE;
    item->type = VTRP_TYPE_KEEPALIVE;
    __vantor_udp_client_schedule(c, std::move(item));
    last_keepalive = now;

    if (c->stop != 0) break;
    nap_until_due(c, next_keepalive);
  }
  return nullptr;
}
