/*
 * The real-time channel's public interface.
 *
 * One client object carries the whole UDP conversation with the management
 * server: it is authorised over HTTPS when it is created, runs four threads
 * (send, receive, punch-hole, command) once started, calls the application's
 * handlers for the server's requests and takes GPS reports to send.
 *
 * The header is plain C so that firmware written in C can link the channel
 * library; the client itself is an opaque handle.
 *
 * Results: the setters return 1 when the value was taken and 0 when it was
 * refused; submit returns 0 or -1; handlers return 0 (accepted), 1 (refused)
 * or 2 (busy: no reply at all).
 */
#ifndef VTCLIENT_CHANNEL_VANTOR_UDP_CLIENT_H
#define VTCLIENT_CHANNEL_VANTOR_UDP_CLIENT_H

#include <stdint.h>

#include "platform/log_level.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The opaque client. */
typedef struct vantor_udp_client vantor_udp_client;

/* Default UDP port of the server when authorisation gave none. */
#define VANTOR_UDP_CLIENT_DEFAULT_PORT 11753

/* Interface file used when the creator names none. */
#define VANTOR_UDP_CLIENT_DEFAULT_INTERFACE_FILE "/tmp/interface.using"

/* Values the client takes for the keepalive interval and the disconnect
 * timeout (parameters 5 and 6), in seconds. */
enum {
  VANTOR_UDP_CLIENT_KEEPALIVE_MIN = 5,
  VANTOR_UDP_CLIENT_KEEPALIVE_MAX = 50,
  VANTOR_UDP_CLIENT_DISCONNECT_MIN = 70,
  VANTOR_UDP_CLIENT_DISCONNECT_MAX = 600
};

/* Handler results. */
enum {
  VANTOR_UDP_CLIENT_ACCEPTED = 0,
  VANTOR_UDP_CLIENT_REFUSED = 1,
  VANTOR_UDP_CLIENT_NO_REPLY = 2
};

/* Parameter ids of vantor_udp_client_set_param; the value is passed by pointer. */
enum vantor_udp_client_param_id {
  VANTOR_UDP_CLIENT_PARAM_SERVER_ADDRESS = 1,      /* const char *, dotted IPv4 */
  VANTOR_UDP_CLIENT_PARAM_SERVER_PORT = 2,         /* uint32_t, 1..65534 */
  VANTOR_UDP_CLIENT_PARAM_RESET_SEQUENCE = 3,      /* uint32_t, any */
  VANTOR_UDP_CLIENT_PARAM_KEEPALIVE_INTERVAL = 5,  /* uint32_t seconds, 5..50 */
  VANTOR_UDP_CLIENT_PARAM_DISCONNECT_TIMEOUT = 6,  /* uint32_t seconds, 70..600 */
  VANTOR_UDP_CLIENT_PARAM_HANDLER_CONTEXT = 7,     /* the pointer itself is stored */
  VANTOR_UDP_CLIENT_PARAM_RECONNECT = 8,           /* uint32_t, only 1 */
  VANTOR_UDP_CLIENT_PARAM_STATISTICS_INTERVAL = 99 /* uint32_t seconds, 0..99999 */
};

/* Handler ids of vantor_udp_client_set_handler. */
enum vantor_udp_client_handler_id {
  VANTOR_UDP_CLIENT_HANDLER_FEATURE_INVITATION = 1, /* vantor_udp_client_invitation_fn */
  VANTOR_UDP_CLIENT_HANDLER_NOTICE = 2,             /* vantor_udp_client_notice_fn */
  VANTOR_UDP_CLIENT_HANDLER_SPARE = 3,              /* stored, never called */
  VANTOR_UDP_CLIENT_HANDLER_STATISTICS = 4,         /* vantor_udp_client_statistics_fn */
  VANTOR_UDP_CLIENT_HANDLER_LOG = 5,                /* vantor_log_func */
  VANTOR_UDP_CLIENT_HANDLER_REBOOT = 6,             /* vantor_udp_client_simple_fn */
  VANTOR_UDP_CLIENT_HANDLER_ACTION = 7,             /* vantor_udp_client_action_fn */
  VANTOR_UDP_CLIENT_HANDLER_DEBUG_DUMP = 8          /* vantor_udp_client_simple_fn */
};

/* Channel statistics: twenty-five 32-bit words, changed under the client's
 * statistics lock. Turnaround times are in milliseconds. */
typedef struct vantor_udp_client_statistics {
  uint32_t peer_send;        /* replies sent to server requests */
  uint32_t peer_recv;        /* server requests handled */
  uint32_t local_send;       /* transmissions of agenda items, failed ones included */
  uint32_t local_recv;       /* agenda items settled by their reply */
  uint32_t header_errors;    /* datagrams rejected before decryption */
  uint32_t decrypt_errors;   /* packets failing decryption or the CRC */
  uint32_t seq_errors;       /* server messages out of sequence */
  uint32_t turnaround_max;
  uint32_t turnaround_min;   /* 0xFFFFFFFF until the first reply */
  uint32_t turnaround_total; /* average = total / local_recv */
  uint32_t send_times[10];   /* 5 pairs (seconds, microseconds), slot = seq % 5 */
  uint32_t send_seqs[5];     /* seq of the transmission in each slot */
} vantor_udp_client_statistics;

/* What the channel is doing, as vantor_udp_client_get_status tells it. */
enum vantor_udp_client_state {
  VANTOR_UDP_CLIENT_STATE_AUTHORISING = 0,    /* no session yet: authorisation under way or retried */
  VANTOR_UDP_CLIENT_STATE_CONNECTED = 1,      /* a session key and a socket to the server */
  VANTOR_UDP_CLIENT_STATE_REESTABLISHING = 2, /* the session is being renewed (server silent, bad
                                                 packets, interface update) or its renewal retried */
  VANTOR_UDP_CLIENT_STATE_STOPPED = 3         /* the client is being destroyed */
};

/* A copy of the channel's state for monitoring. It never holds the session
 * key. Times are seconds since the epoch, 0 for never. */
typedef struct vantor_udp_client_status {
  int state;                   /* enum vantor_udp_client_state */
  char server_host[256];       /* of the current (or last) session, cut to fit */
  uint32_t server_port;
  char interface_name[32];     /* WAN interface of the session, "" for none */
  int64_t session_start;       /* when the current (or last) session was established */
  uint32_t sessions;           /* sessions established so far, the first included */
  int64_t last_server_message; /* the last datagram that proved the server alive */
  int64_t last_keepalive_sent;
  vantor_udp_client_statistics statistics;
} vantor_udp_client_status;

/* The identity the client was created with and the WAN interface of its
 * session, as the application's own HTTPS requests carry them. */
typedef struct vantor_udp_client_identity {
  char serial[26];
  char model[9];
  char variant[9];
  char version[12];
  int has_interface;       /* 0: the session is bound to no interface */
  char interface_name[32]; /* may be "" even when has_interface */
} vantor_udp_client_identity;

/* One argument of a remote action request as the handler receives it: the
 * entry's length and its text, NUL-terminated. */
typedef struct vantor_udp_client_action_entry {
  int32_t length;
  char text[400];
} vantor_udp_client_action_entry;

/* Handler forms. ctx is the pointer set with parameter 7. */
typedef int (*vantor_udp_client_invitation_fn)(void *ctx, uint32_t features);
typedef int (*vantor_udp_client_notice_fn)(void *ctx, int16_t a, int8_t b);
typedef int (*vantor_udp_client_simple_fn)(void *ctx);
typedef int (*vantor_udp_client_action_fn)(void *ctx, uint32_t request_id, int count,
                                           vantor_udp_client_action_entry *entries);
typedef int (*vantor_udp_client_statistics_fn)(void *ctx, vantor_udp_client_statistics *statistics);

/* Any handler, as vantor_udp_client_set_handler takes it; cast the handler of
 * the id's form to this type. */
typedef void (*vantor_udp_client_handler)(void);

/* Creates the client and authorises it over HTTPS; the threads do not run
 * yet. A null log function selects the library's default logger; a null or
 * empty interface file selects "/tmp/interface.using". Returns a client also
 * when authorisation failed (it is retried by the receive thread), null only
 * when the client cannot be allocated. */
vantor_udp_client *create_vantor_udp_client(const char *serial, const char *model,
                                            const char *variant, const char *version,
                                            unsigned int request_queue_capacity,
                                            const char *default_host,
                                            const char *registration_path,
                                            vantor_log_func log,
                                            unsigned int black_list_capacity,
                                            const char *interface_file);

/* Stops and joins the threads (within about 5 seconds) and releases everything. */
void destroy_vantor_udp_client(vantor_udp_client *client);

/* Sets parameter id to *value (id 7: value itself). Returns 1 or 0. */
int vantor_udp_client_set_param(vantor_udp_client *client, int id, const void *value);

/* Stores a handler; returns 1, or 0 for a null client or an id outside 1..8.
 * Id 5 with null restores the default logger and returns 0. */
int vantor_udp_client_set_handler(vantor_udp_client *client, int id, vantor_udp_client_handler function);

/* Opens the socket and starts the four threads. Call once. Returns 1. */
int vantor_udp_client_run(vantor_udp_client *client);

/* Queues one GPS report (sent once, no reply wanted). Latitude and longitude
 * in degrees. Returns 0, or -1 for a null client or lack of memory. */
int vantor_udp_client_submit_gps(vantor_udp_client *client, int valid, unsigned long timestamp,
                                 double latitude, double longitude);

/* Fills *status with a consistent copy of the channel's state. Never waits
 * for an authorisation or a re-establishment in progress. Returns 1, or 0
 * for a null argument. */
int vantor_udp_client_get_status(vantor_udp_client *client, vantor_udp_client_status *status);

/* Fills *identity. Waits while the session is being established, so that the
 * interface is that of a settled session. Returns 1, or 0 for a null argument. */
int vantor_udp_client_get_identity(vantor_udp_client *client, vantor_udp_client_identity *identity);

/* Logs a statistics record through log at level 6, headed by the line
 * title: the requests, the transmissions, the errors and, once a reply has
 * come, the turnaround times. */
void vantor_udp_client_log_statistics(vantor_log_func log, const char *title,
                                      const vantor_udp_client_statistics *statistics);

/* Length of the channel's one-second tick in milliseconds (1000; 0 or less
 * restores it). Every wait of the threads is counted in ticks: tests shorten
 * the tick, and step the clock, so that minutes of channel time pass in
 * moments. */
void __vantor_udp_client_set_tick_ms(int milliseconds);

#ifdef __cplusplus
}
#endif

#endif
