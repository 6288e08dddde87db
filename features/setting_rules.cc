#include "features/setting_rules.h"

#include <cstdlib>

#include "channel/vantor_udp_client.h"

const setting_rule kKeepaliveRule = {
    "DEVICE_KEEPALIVE_INTERVAL", 25, VANTOR_UDP_CLIENT_KEEPALIVE_MIN, VANTOR_UDP_CLIENT_KEEPALIVE_MAX,
    false, "Set KEEPALIVE INTERVAL error, set to default(%d)."};
const setting_rule kDisconnectRule = {
    "DEVICE_DISCONNECT_TIMEOUT", 70, VANTOR_UDP_CLIENT_DISCONNECT_MIN, VANTOR_UDP_CLIENT_DISCONNECT_MAX,
    false, "Set DISCONNECT TIMEOUT error, set to default(%d)."};
// Server requests come a few a minute at most; a thousand ids in each of
// the two lists (12 bytes each) cover any retransmission, and a size that
// cannot be allocated never leaves the channel without its lists.
const setting_rule kBlackListRule = {"DEVICE_BLACK_LIST_SIZE", 10, 1, 1000, false,
                                     "Set BLACK LIST SIZE error, set to default(%d)."};
const setting_rule kLogFileCountRule = {"DEVICE_LOG_NUM_FILE", 4, 1, INT16_MAX, true, nullptr};

const setting_rule* const kSettingRules[4] = {&kKeepaliveRule, &kDisconnectRule, &kBlackListRule,
                                              &kLogFileCountRule};

int32_t setting_number(const setting_rule& rule, const char* text) {
  int n = atoi(text);
  return rule.sixteen_bits ? static_cast<int16_t>(n) : n;
}

int32_t setting_value(const setting_rule& rule, const char* text) {
  int32_t n = setting_number(rule, text);
  return n < 1 ? rule.fallback : n;
}
