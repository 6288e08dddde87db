// Authorising the real-time channel over HTTPS.
//
// The device posts its identity to the server's registration page; a valid
// answer is a "302 Found" whose body holds the session key (16 characters),
// the UDP server's host and its port, one per line. The request is tried
// over each connected WAN link in turn until one of them gets an answer.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>

#include "https/https_request.h"
#include "platform/log.h"

// Sizes of the buffers that receive the credentials.
constexpr int kSessionKeySize = 17;  // 16 characters and a NUL
constexpr int kAuthHostSize = 1024;
constexpr int kAuthInterfaceSize = 32;  // interface names are short

// Results of auth_exchange and vantor_udps_get_auth.
enum : int {
  AUTH_NO_ANSWER = 0,      // tool failed, unreadable or malformed answer
  AUTH_GRANTED = 1,        // credentials parsed
  AUTH_NOT_REDIRECTED = 2  // the server answered, but not with "302 Found"
};

// One run of the fetch tool over interface (NULL or "" for none) with the
// body file body_path, and the reading of its answer. key_out holds
// kSessionKeySize bytes, host_out kAuthHostSize bytes.
int auth_exchange(const https_request* request, const char* body_path, const char* interface,
                  char* key_out, char* host_out, int* port_out);

// Reads the answer lines (status, key, host, port) that the fetch tool
// left in `in`; key_out and host_out as for auth_exchange. AUTH_GRANTED
// with all three filled, else AUTH_NOT_REDIRECTED or AUTH_NO_ANSWER.
int parse_auth_answer(FILE* in, char* key_out, char* host_out, int* port_out);

// Writes the request body and walks the WAN links until one answers.
// interface_out (kAuthInterfaceSize bytes) gets the name of the link that
// answered, "" when the device has a single WAN link.
int vantor_udps_get_auth(const https_request* request, char* key_out, char* host_out, int* port_out,
                         char* interface_out);

// The channel client's entry. On success (0) the client's session_key,
// server_host and interface_name are replaced by fresh malloc()ed copies
// (the old texts freed), server_port is set, reconnect_requested cleared,
// the interface written to interface_file and the target logged. Returns 1
// when the server answered without the redirect, -1 on any other failure;
// the credentials are then left as they were.
int __vantor_udp_client_udps_get_auth(const char* serial, const char* model, const char* variant,
                                      const char* version, char** session_key,
                                      std::atomic<uint32_t>* reconnect_requested,
                                      vantor_log_func log, char** server_host,
                                      uint32_t* server_port, char** interface_name,
                                      const char* default_host, const char* registration_path,
                                      const char* interface_file);

// Records the WAN interface in use in path (exactly the name, no line end),
// for other programs on the device. 1 when written, else 0.
int __vantor_udp_client_log_interface(const char* path, const char* interface, vantor_log_func log);
