// The channel client's life: creation with authorisation, parameters and
// handlers, start of the four threads, GPS reports, destruction.
#include "channel/client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "channel/byte_order.h"
#include "https/session_auth.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "platform/paths.h"

namespace {

std::atomic<int> tick_ms{1000};

void copy_cut(char *out, const char *text, size_t limit) {
  std::strncpy(out, text ? text : "", limit);
  out[limit] = '\0';
}

vantor_log_func current_log(vantor_udp_client *client) { return client->log.load(); }

// Resolves server_host/server_port; after a failed authorisation or
// resolution the default host at the default port stands in.
void resolve_server(vantor_udp_client *client, bool authorised) {
  if (authorised && __vantor_udp_client_resolve(client->server_host.get(), client->server_port,
                                                &client->server_addr) == 0)
    return;
  client->server_host.reset(strdup(client->default_host.c_str()));
  client->server_port = VANTOR_UDP_CLIENT_DEFAULT_PORT;
  __vantor_udp_client_resolve(client->default_host.c_str(), client->server_port,
                              &client->server_addr);
}

// Degrees to millionths, truncated towards zero; a value that does not fit
// 32 bits (or is not a number) is clamped rather than left to overflow.
int32_t to_millionths(double degrees) {
  double scaled = std::trunc(degrees * 1000000.0);
  if (std::isnan(scaled)) return 0;
  if (scaled >= 2147483647.0) return INT32_MAX;
  if (scaled <= -2147483648.0) return INT32_MIN;
  return static_cast<int32_t>(scaled);
}

void join(std::thread &thread, vantor_log_func log, const char *message) {
  if (!thread.joinable()) return;
  thread.join();
  log(VT_LOG_INFO, "%s", message);
}

}  // namespace

int __vantor_udp_client_tick_ms() { return tick_ms.load(std::memory_order_relaxed); }

void __vantor_udp_client_set_tick_ms(int milliseconds) {
  tick_ms.store(milliseconds > 0 ? milliseconds : 1000, std::memory_order_relaxed);
}

void __vantor_udp_client_wake_sender(vantor_udp_client *client) {
  {
    std::lock_guard<std::mutex> lock(client->send_mutex);
    client->send_pending = true;
  }
  client->send_cond.notify_one();
}

void __vantor_udp_client_schedule(vantor_udp_client *client, agenda_item_ptr item) {
  {
    std::lock_guard<std::mutex> lock(client->agenda_mutex);
    if (delivery_agenda_add_item(&client->agenda, item.get()) != 0) return;
    item.release();
  }
  __vantor_udp_client_wake_sender(client);
}

int __vantor_udp_client_authorise(vantor_udp_client *client, vantor_log_func log) {
  owned_text_slot key(client->session_key), host(client->server_host),
      interface(client->interface_name);
  int result = __vantor_udp_client_udps_get_auth(
      client->serial, client->model, client->variant, client->version, key.get(),
      &client->reconnect_requested, log, host.get(), &client->server_port, interface.get(),
      client->default_host.c_str(), client->registration_path.c_str(),
      client->interface_file.c_str());
  client->has_session_key = *key.get() != nullptr;
  return result;
}

void __vantor_udp_client_wake_receiver(vantor_udp_client *client) {
  if (client->receive_wake[1] < 0) return;
  char byte = 'w';
  while (write(client->receive_wake[1], &byte, 1) < 0 && errno == EINTR) {
  }
}

void __vantor_udp_client_wake_naps(vantor_udp_client *client) {
  {
    std::lock_guard<std::mutex> lock(client->nap_mutex);
  }
  client->nap_cond.notify_all();
}

void __vantor_udp_client_nap(vantor_udp_client *client, int ticks) {
  std::unique_lock<std::mutex> lock(client->nap_mutex);
  client->nap_cond.wait_for(lock, std::chrono::milliseconds(ticks * __vantor_udp_client_tick_ms()),
                            [client] { return client->stop.load() != 0; });
}

extern "C" vantor_udp_client *create_vantor_udp_client(
    const char *serial, const char *model, const char *variant, const char *version,
    unsigned int request_queue_capacity, const char *default_host, const char *registration_path,
    vantor_log_func log, unsigned int black_list_capacity, const char *interface_file) {
  auto *client = new (std::nothrow) vantor_udp_client;
  if (!client) return nullptr;

  try {  // no exception leaves this function: without memory for its texts there is no client
    client->interface_file = interface_file && *interface_file
                                 ? interface_file
                                 : system_path(VANTOR_UDP_CLIENT_DEFAULT_INTERFACE_FILE);
    client->default_host = default_host ? default_host : "";
    client->registration_path = registration_path ? registration_path : "";
  } catch (const std::bad_alloc &) {
    delete client;
    return nullptr;
  }
  client->log = log ? log : __vantor_udp_client_default_log;
  client->thread_log = client->log.load();
  client->incoming_requests.reset(init_task_queue(request_queue_capacity));
  client->incoming_replies.reset(init_task_queue(10));
  client->outgoing_replies.reset(init_task_queue(10));
  int agenda = delivery_agenda_init(&client->agenda, 10);
  client->black_list_capacity = black_list_capacity;
  client->answered_ids.reset(create_black_list(static_cast<int>(black_list_capacity)));
  client->recent_ids.reset(create_black_list(static_cast<int>(black_list_capacity)));
  // A client without its queues or black lists would lose every message,
  // or carry out a retransmitted request twice: no client at all.
  if (!client->incoming_requests || !client->incoming_replies || !client->outgoing_replies ||
      agenda != 0 || !client->answered_ids || !client->recent_ids) {
    client->thread_log(VT_LOG_ERR, "Can't allocate memory (queues and black lists of %u entries)",
                       black_list_capacity);
    destroy_vantor_udp_client(client);
    return nullptr;
  }

  copy_cut(client->serial, serial, 25);
  copy_cut(client->model, model, 8);
  copy_cut(client->variant, variant, 8);
  copy_cut(client->version, version, 11);

  client->statistics.turnaround_min = 0xFFFFFFFFu;
  client->local_addr.sin_family = AF_INET;
  client->local_addr.sin_addr.s_addr = htonl(INADDR_ANY);
  client->local_addr.sin_port = 0;
  if (pipe2(client->receive_wake, O_CLOEXEC | O_NONBLOCK) != 0)
    client->receive_wake[0] = client->receive_wake[1] = -1;

  // No thread runs yet, so the credentials can be written in place.
  int auth = __vantor_udp_client_authorise(client, client->thread_log);
  resolve_server(client, auth == 0);
  if (auth == 0) __vantor_udp_client_record_session(client);
  return client;
}

extern "C" void destroy_vantor_udp_client(vantor_udp_client *client) {
  if (!client) return;
  client->stop = 1;
  __vantor_udp_client_wake_naps(client);
  __vantor_udp_client_wake_sender(client);
  __vantor_udp_client_wake_receiver(client);
  // The command thread waits on its queue; an empty task (no message,
  // ignored by the dispatcher) wakes it at once. When the queue is full the
  // thread is not waiting anyway.
  if (task_info_ptr wake{create_task_info(0, client->serial, 0, nullptr, 0)})
    if (unshift_task_queue(client->incoming_requests.get(), wake.get()) == 1) wake.release();

  // The socket is closed only after the threads have ended: closing it under
  // a thread that still waits on it could hand its number to another file.
  vantor_log_func log = current_log(client);
  join(client->send_thread, log, "Sender Joined");
  join(client->receive_thread, log, "Receiver Joined");
  join(client->punch_hole_thread, log, "Punch hole Joined");
  join(client->command_thread, log, "Command handler Joined");
  if (client->sock != 0) {
    close(client->sock);
    client->sock = 0;
  }

  delivery_agenda_free(&client->agenda);
  for (int fd : client->receive_wake)
    if (fd >= 0) close(fd);
  delete client;
}

extern "C" int vantor_udp_client_set_param(vantor_udp_client *client, int id, const void *value) {
  if (!client || !value) return 0;
  uint32_t number = 0;
  if (id != VANTOR_UDP_CLIENT_PARAM_SERVER_ADDRESS && id != VANTOR_UDP_CLIENT_PARAM_HANDLER_CONTEXT)
    std::memcpy(&number, value, sizeof number);
  switch (id) {
    case VANTOR_UDP_CLIENT_PARAM_SERVER_ADDRESS: {
      // Taken even when the text does not parse: the address then stays as it was.
      std::lock_guard<std::mutex> lock(client->connection_mutex);
      inet_pton(AF_INET, static_cast<const char *>(value), &client->server_addr.sin_addr);
      return 1;
    }
    case VANTOR_UDP_CLIENT_PARAM_SERVER_PORT: {
      if (number < 1 || number > 65534) return 0;
      std::lock_guard<std::mutex> lock(client->connection_mutex);
      client->server_addr.sin_port = htons(static_cast<uint16_t>(number));
      return 1;
    }
    case VANTOR_UDP_CLIENT_PARAM_RESET_SEQUENCE:
      client->reset_sequence = number;
      return 1;
    case VANTOR_UDP_CLIENT_PARAM_KEEPALIVE_INTERVAL:
      if (number < VANTOR_UDP_CLIENT_KEEPALIVE_MIN || number > VANTOR_UDP_CLIENT_KEEPALIVE_MAX) return 0;
      client->keepalive_interval = number;
      return 1;
    case VANTOR_UDP_CLIENT_PARAM_DISCONNECT_TIMEOUT:
      if (number < VANTOR_UDP_CLIENT_DISCONNECT_MIN || number > VANTOR_UDP_CLIENT_DISCONNECT_MAX) return 0;
      client->disconnect_timeout = number;
      return 1;
    case VANTOR_UDP_CLIENT_PARAM_HANDLER_CONTEXT:
      client->handler_context = const_cast<void *>(value);
      return 1;
    case VANTOR_UDP_CLIENT_PARAM_RECONNECT:
      if (number != 1) return 0;
      client->reconnect_requested = 1;
      __vantor_udp_client_wake_receiver(client);
      return 1;
    case VANTOR_UDP_CLIENT_PARAM_STATISTICS_INTERVAL:
      if (number > 99999) return 0;
      client->statistics_interval = number;
      return 1;
    default:
      return 0;
  }
}

extern "C" int vantor_udp_client_set_handler(vantor_udp_client *client, int id,
                                             vantor_udp_client_handler function) {
  if (!client) return 0;
  switch (id) {
    case VANTOR_UDP_CLIENT_HANDLER_FEATURE_INVITATION:
      client->handlers[0] = function;
      return 1;
    case VANTOR_UDP_CLIENT_HANDLER_NOTICE:
      client->handlers[1] = function;
      return 1;
    case VANTOR_UDP_CLIENT_HANDLER_SPARE:
      client->spare_handler = function;
      return 1;
    case VANTOR_UDP_CLIENT_HANDLER_STATISTICS:
      client->statistics_callback = reinterpret_cast<vantor_udp_client_statistics_fn>(function);
      return 1;
    case VANTOR_UDP_CLIENT_HANDLER_LOG:
      if (!function) {
        client->log = __vantor_udp_client_default_log;
        return 0;
      }
      client->log = reinterpret_cast<vantor_log_func>(function);
      return 1;
    case VANTOR_UDP_CLIENT_HANDLER_REBOOT:
      client->handlers[2] = function;
      return 1;
    case VANTOR_UDP_CLIENT_HANDLER_ACTION:
      client->handlers[3] = function;
      return 1;
    case VANTOR_UDP_CLIENT_HANDLER_DEBUG_DUMP:
      client->handlers[4] = function;
      return 1;
    default:
      return 0;
  }
}

extern "C" int vantor_udp_client_run(vantor_udp_client *client) {
  if (!client) return 0;
  // A second run would start a second set of threads over the first.
  if (client->running.exchange(true)) return 1;
  {
    std::lock_guard<std::mutex> lock(client->connection_mutex);
    __vantor_udp_client_open_socket(&client->sock, &client->local_addr, &client->server_addr,
                                    client->interface_name.get(), current_log(client));
  }
  client->send_thread = std::thread(__vantor_udp_client_send_thread_main, client);
  client->receive_thread = std::thread(__vantor_udp_client_receive_thread_main, client);
  client->punch_hole_thread = std::thread(__vantor_udp_client_punch_hole_thread_main, client);
  client->command_thread = std::thread(__vantor_udp_client_comand_thread_main, client);
  return 1;
}

extern "C" int vantor_udp_client_submit_gps(vantor_udp_client *client, int valid,
                                            unsigned long timestamp, double latitude,
                                            double longitude) {
  if (!client) return -1;
  agenda_item_ptr item = delivery_agenda_new_item();
  if (!item) return -1;
  uint32_t now = static_cast<uint32_t>(vt_time());
  std::memcpy(item->serial, client->serial, sizeof item->serial);
  item->created = now;
  item->next_send = now;
  item->retry_interval = 10;
  item->category = VTRP_CATEGORY_DEVICE;
  item->type = VTRP_TYPE_GPS_REPORT;
  uint8_t *p = item->payload;
  vt_store_be32(p, static_cast<uint32_t>(timestamp));
  vt_store_be32(p + 4, static_cast<uint32_t>(to_millionths(latitude)));
  vt_store_be32(p + 8, static_cast<uint32_t>(to_millionths(longitude)));
  p[12] = valid ? 1 : 0;
  item->payload_length = 13;
  __vantor_udp_client_schedule(client, std::move(item));
  return 0;
}
