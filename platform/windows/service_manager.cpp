// No service manager reads the readiness protocol on Windows.
#include "platform/service_manager.h"

int PlatformNotifyServiceManager(const char*) {
    return 0;
}
