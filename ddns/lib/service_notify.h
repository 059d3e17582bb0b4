// The service manager's notification protocol (sd_notify(3)): datagrams of
// "NAME=value" lines to the AF_UNIX socket named by NOTIFY_SOCKET. Without
// that variable every call does nothing.
#ifndef VINTREL_SERVICE_NOTIFY_H
#define VINTREL_SERVICE_NOTIFY_H

#include <string>

// Sends state ("READY=1", "STATUS=...", "WATCHDOG=1", "STOPPING=1"), given
// in ISO-8859-1 as every message of the tool, in UTF-8 as the protocol wants.
// False when it could not be sent (or there is no service manager).
bool notifyServiceManager(const std::string &latin1State);

// Microseconds between the keep-alive pings the manager expects
// (WATCHDOG_USEC, when WATCHDOG_PID is unset or names this process);
// 0 when it expects none.
long long watchdogMicroseconds();

#endif
