#include "platform/system_log.h"

#include <syslog.h>

void openSystemLog(const char* name) { openlog(name, LOG_PID, LOG_USER); }

void logError(const std::string& message) { syslog(LOG_ERR, "%s", message.c_str()); }
