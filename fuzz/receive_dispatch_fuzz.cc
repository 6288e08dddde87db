// Fuzzes the receive path from a decrypted message to the handler call: the
// sequence check, the black lists, the request queue, the command dispatch
// with its payload reading (feature mask, notice values, action entries)
// and the reply. The input is a run of messages, each a length byte n
// followed by 16 + 2n bytes, as the decoder hands them over: header in host
// order, payload as sent, 16 to 510 bytes.
//
// The handlers are stand-ins that check what they are given: action entries
// of 0 to 127 bytes whose text is NUL-terminated at its length, inside the
// records the dispatcher allocated (ASan sees any read past them).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "channel/client.h"
#include "channel/task_info.h"
#include "channel/task_queue.h"
#include "fuzz/fuzz_support.h"

namespace {

int quiet_log(int, const char*, ...) { return 0; }

int result_for(uint32_t value) { return static_cast<int>(value % 4); }

int on_invitation(void*, uint32_t features) { return result_for(features); }
int on_notice(void*, int16_t a, int8_t b) { return result_for(static_cast<uint32_t>(a + b)); }
int on_simple(void*) { return 0; }
int on_action(void*, uint32_t request_id, int count, vantor_udp_client_action_entry* entries) {
  fuzz::check(count > 0 && count <= 127, "action count out of range");
  for (int i = 0; i < count; ++i) {
    fuzz::check(entries[i].length >= 0 && entries[i].length <= 127, "entry length out of range");
    fuzz::check(entries[i].text[entries[i].length] == '\0', "entry text not terminated");
  }
  return result_for(request_id);
}

vantor_udp_client* make_client() {
  // No fetch tool on this PATH: authorisation fails at once, no server needed.
  setenv("PATH", "/nonexistent", 1);
  vantor_udp_client* c = create_vantor_udp_client("12345678ABCD", "VT100", "EU", "1.2.3", 30,
                                                  "127.0.0.1", "udps/register", quiet_log, 10,
                                                  fuzz::scratch_path("interface").c_str());
  fuzz::check(c != nullptr, "no client");
  vantor_udp_client_set_handler(c, VANTOR_UDP_CLIENT_HANDLER_FEATURE_INVITATION,
                                reinterpret_cast<vantor_udp_client_handler>(on_invitation));
  vantor_udp_client_set_handler(c, VANTOR_UDP_CLIENT_HANDLER_NOTICE,
                                reinterpret_cast<vantor_udp_client_handler>(on_notice));
  vantor_udp_client_set_handler(c, VANTOR_UDP_CLIENT_HANDLER_REBOOT,
                                reinterpret_cast<vantor_udp_client_handler>(on_simple));
  vantor_udp_client_set_handler(c, VANTOR_UDP_CLIENT_HANDLER_ACTION,
                                reinterpret_cast<vantor_udp_client_handler>(on_action));
  vantor_udp_client_set_handler(c, VANTOR_UDP_CLIENT_HANDLER_DEBUG_DUMP,
                                reinterpret_cast<vantor_udp_client_handler>(on_simple));
  return c;
}

// Empties a queue; returns how many tasks it held.
int drain(task_queue* queue, vantor_udp_client* c, bool handle) {
  int n = 0;
  while (task_info* task = shift_task_queue_ex(queue, 0, nullptr)) {
    if (handle) __vantor_udp_client_handle_request(c, task);
    free_task_info(task);
    ++n;
  }
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static vantor_udp_client* c = make_client();
  // Every input starts from a fresh channel state.
  c->receive_seq = 0xFFFFFFFFu;
  black_list_cleanup(c->answered_ids, 0xFFFFFFFFu);
  black_list_cleanup(c->recent_ids, 0xFFFFFFFFu);

  size_t at = 0;
  while (at < size) {
    size_t length = 16 + static_cast<size_t>(data[at++]) * 2;  // 16 to 510 bytes
    if (length > size - at) length = size - at;
    if (length < 16) break;
    __vantor_udp_client_accept_message(c, quiet_log, data + at, static_cast<uint32_t>(length));
    at += length;
    drain(c->incoming_requests, c, true);
  }
  drain(c->incoming_replies, c, false);
  drain(c->outgoing_replies, c, false);
  return 0;
}
