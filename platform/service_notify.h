#ifndef TEMPUS_PLATFORM_SERVICE_NOTIFY_H
#define TEMPUS_PLATFORM_SERVICE_NOTIFY_H

// The service manager's notification protocol (systemd's sd_notify): a
// status line, readiness, the main process's id.

// True when a service manager listens for notifications (NOTIFY_SOCKET is set).
bool service_manager_listens();

// Sends `state` ("STATUS=...", "READY=1", "MAINPID=n", lines joined by
// newlines) to the service manager. Returns 1 when sent, 0 when nobody listens
// (or the program was built without libsystemd), -1 on failure.
int notify_service_manager(const char *state);

#endif
