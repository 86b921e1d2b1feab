// Telling the service manager that started the process how it fares.
//
// Linux: systemd's readiness protocol. The state is lines of KEY=VALUE
// ("READY=1", "STOPPING=1", "STATUS=text"), sent as one datagram to the Unix
// socket named by $NOTIFY_SOCKET (a leading "@" names an abstract socket).
// Nothing is sent where the variable is absent or empty: a process started
// by hand or by a service manager that does not listen.
// Windows: no such manager listens here; nothing is sent.
#ifndef PLATFORM_SERVICE_MANAGER_H
#define PLATFORM_SERVICE_MANAGER_H

// 1 when the state was sent, 0 when nothing listens or it could not be sent.
// Keeps errno as it was, so it may be called between a failure and its report.
int PlatformNotifyServiceManager(const char* state);

#endif
