// The files of the shipper's secrets: Windows has no shipper, and pelmorctl
// check there says only whether a named file can be read.
#include "pelmor-ship/ship_settings.h"

#include <cstdio>

int ShipSecretFileProblem(int32_t setting, const char* path, std::string* why) {
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        *why = std::string(ShipEntry(setting).paramToken) + " " + path +
               " fehlt oder ist nicht lesbar";
        return 1;
    }
    std::fclose(file);
    return 0;
}
