/* Log levels, by syslog's numbers, and the one type of log function. Plain
 * C, as the channel's public header takes it. */
#ifndef VTCLIENT_PLATFORM_LOG_LEVEL_H
#define VTCLIENT_PLATFORM_LOG_LEVEL_H

enum vt_log_level {
  VT_LOG_EMERG = 0,
  VT_LOG_ALERT = 1,
  VT_LOG_CRIT = 2,
  VT_LOG_ERR = 3,
  VT_LOG_WARN = 4,
  VT_LOG_NOTICE = 5,
  VT_LOG_INFO = 6,
  VT_LOG_DEBUG = 7 /* written only in debug mode */
};

/* Log function: level, printf-style format. Returns the number of characters
 * written, 0 when nothing was written. */
typedef int (*vantor_log_func)(int level, const char *format, ...);

#endif
