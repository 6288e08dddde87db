// The punch-hole thread: one keepalive into the agenda every
// keepalive_interval seconds once the channel has a session key. Each
// keepalive expires when the next one is due, so at most one is live.
#include <cstdlib>
#include <cstring>

#include "channel/client.h"
#include "channel/vtrp_message.h"
#include "platform/clock.h"

void *__vantor_udp_client_punch_hole_thread_main(void *param) {
  auto *c = static_cast<vantor_udp_client *>(param);
  time_t next_keepalive = 0;
  time_t last_keepalive = 0;

  for (;;) {
    const time_t now = vt_time();
    if (c->stop != 0) break;
    bool due = now >= next_keepalive || now < last_keepalive || c->keepalive_now != 0;
    if (!due || !c->has_session_key) {
      __vantor_udp_client_nap(c, 1);
      continue;
    }
    auto *item = static_cast<agenda_item *>(std::calloc(1, sizeof(agenda_item)));
    if (!item) {
      __vantor_udp_client_nap(c, 1);
      continue;
    }
    if (c->keepalive_now.exchange(0) != 0) next_keepalive = vt_time();

    const time_t interval = c->keepalive_interval.load();
    next_keepalive += interval;
    if (next_keepalive <= now || now < last_keepalive) next_keepalive = now + interval;

    std::memcpy(item->serial, c->serial, sizeof item->serial);
    item->created = vt_time32(vt_time());
    item->retry_interval = 10;
    item->expires = vt_time32(next_keepalive);
    item->flags = VTRP_FLAG_REPLY_WANTED;
    item->category = VTRP_CATEGORY_KEEPALIVE;
    item->type = VTRP_TYPE_KEEPALIVE;
    __vantor_udp_client_schedule(c, item);
    last_keepalive = now;

    if (c->stop != 0) break;
    __vantor_udp_client_nap(c, 1);
  }
  return nullptr;
}
