// Handlers of the server's requests on the real-time channel. They run on
// the channel's command thread, never do the work themselves, and answer
// 0 (accepted), 1 (refused) or 2 (ignored: no reply).
#pragma once

#include <cstdint>
#include <string>

#include "channel/vantor_udp_client.h"
#include "platform/taglist.h"

int __udp_client_feature_invitation_handler(void* context, uint32_t mask);
int __udp_client_notice_handler(void* context, int16_t a, int8_t b);
int __udp_client_reboot_handler(void* context);
int __udp_client_action_handler(void* context, uint32_t request_id, int count,
                                vantor_udp_client_action_entry* records);
int __udp_client_debug_dump_handler(void* context);
int __udp_client_null_handler(void* context);
int __udp_client_statistic_handler(void* context, vantor_udp_client_statistics* statistics);

// Registers every handler above on the client, in the order of their ids.
void __udp_client_register_handlers(vantor_udp_client* client);

// The remote action's command line: FEATURE_REMOTE_ACTION_CMD, then each of
// the first count arguments as one blank and one single-quoted shell word.
std::string __udp_client_build_action_line(const taglist* config, int count,
                                           const vantor_udp_client_action_entry* records);
