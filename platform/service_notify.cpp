#include "platform/service_notify.h"

#include <cstdlib>

#ifdef TEMPUS_HAVE_LIBSYSTEMD
#include <systemd/sd-daemon.h>
#endif

bool service_manager_listens()
{
    const char *socket = getenv("NOTIFY_SOCKET");
    return socket != nullptr && socket[0] != '\0';
}

int notify_service_manager(const char *state)
{
#ifdef TEMPUS_HAVE_LIBSYSTEMD
    const int sent = sd_notify(0, state);
    return sent > 0 ? 1 : sent;
#else
    (void)state;
    return 0;
#endif
}
