// The agent's own numeric settings that it does not take as written: a value
// below 1 falls back to the default when the settings are derived, and the
// keepalive interval and disconnect timeout fall back again when the channel
// client refuses them, the black list size when it is past its range as the
// client is created. The agent and vtclient-checkconf both go by these
// rules, so the checker's verdicts are what the agent does.
#pragma once

#include <cstdint>

struct setting_rule {
  const char* key;
  int32_t fallback;             // in force instead of a value below 1 (or refused)
  int32_t min, max;             // what is taken; outside it the fallback is used
  bool sixteen_bits;            // the number is cut to a signed 16-bit one first
  const char* refused_message;  // level-6 line when the channel client refuses it
};

extern const setting_rule kKeepaliveRule;
extern const setting_rule kDisconnectRule;
extern const setting_rule kBlackListRule;
extern const setting_rule kLogFileCountRule;
extern const setting_rule* const kSettingRules[4];

// The number as atoi reads it, cut to 16 bits when the rule says so; 0 for a
// text without digits.
int32_t setting_number(const setting_rule& rule, const char* text);

// The value in force once the settings are derived: setting_number, or the
// fallback when that is below 1. The range check of the channel client comes
// later (min, max).
int32_t setting_value(const setting_rule& rule, const char* text);
