// The counters of the channel statistics, each raised under its lock.
#include "channel/client.h"

void __vantor_udp_client_count_send(vantor_udp_client_statistics *statistics, std::mutex *mutex,
                                    int selector) {
  std::lock_guard<std::mutex> lock(*mutex);
  if (selector)
    ++statistics->peer_send;
  else
    ++statistics->local_send;
}

void __vantor_udp_client_count_receive(vantor_udp_client_statistics *statistics, std::mutex *mutex,
                                       int selector) {
  std::lock_guard<std::mutex> lock(*mutex);
  if (selector)
    ++statistics->peer_recv;
  else
    ++statistics->local_recv;
}

void __vantor_udp_client_count_receive_error(vantor_udp_client_statistics *statistics,
                                             std::mutex *mutex, int selector) {
  std::lock_guard<std::mutex> lock(*mutex);
  if (selector == 0)
    ++statistics->header_errors;
  else if (selector == 1)
    ++statistics->decrypt_errors;
  else if (selector == 2)
    ++statistics->seq_errors;
}
