// Entry points of the daemon's worker threads and of the workers that run on
// the feature thread.
//
// The thread mains take their argument record (features/daemon_state.h) as
// void*, so they can be started with pthread_create or std::thread alike.
// Each leaves by returning, after setting its worker's finished flag.
#pragma once

struct feature_param;

// The feature worker: waits for a request and runs configuration sync (0),
// firmware upgrade (3), ISP extension (4), reboot (5) or GPS submission (8),
// one at a time. arg: feature_param*. Ends when the state is stopping.
void* __udp_client_feature_thread_main(void* arg);

// The device report worker. arg: report_param*. Ends when the state is stopping.
void* __udp_client_report_thread_main(void* arg);

// One remote action: runs the command line of the action buffer and uploads
// its output. arg: action_param*. Sets its finished flag before it returns.
void* __udp_client_action_thread_main(void* arg);

// One debug dump: runs FEATURE_DEBUG_DUMP_CMD and uploads its output.
// arg: debug_dump_param*. Sets its finished flag before it returns.
void* __udp_client_debug_dump_thread_main(void* arg);

// The workers run by the feature thread (one run each).
void __udp_client_config_thread_main(feature_param* param);
void __udp_client_firmware_thread_main(feature_param* param);
void __udp_client_isp_thread_main(feature_param* param);
void __udp_client_gps_thread_main(feature_param* param);
// Returns the reboot command's system() status (nobody reads it).
int __udp_client_reboot_thread_main(feature_param* param);
