// The running shipper's live figures: three numbers in a small text file.
#include "pelmor-ship/ship.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include "protocol/names.h"

namespace {

constexpr const char* LIVE_HEADER = "pelmor-ship live 1";
constexpr std::size_t LIVE_TEXT_MAX = 256;

} // namespace

std::string ShipLivePath(const ShipConfig& config) {
    return config.bufferFile + PELMOR_SHIP_LIVE_SUFFIX;
}

int ShipLiveSave(const std::string& path, const ShipLive& live) {
    char text[LIVE_TEXT_MAX];
    const int length =
        std::snprintf(text, sizeof text,
                      "%s\nshipped %" PRId64 "\nconnected %" PRId64 "\noutage_since %" PRId64 "\n",
                      LIVE_HEADER, live.shipped, live.connected, live.outageSince);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof text) {
        return 0;
    }
    // Whoever may write in the folder could have put a link or a FIFO under
    // the temporary name: it is removed, and the file made anew only where
    // nothing is (a link is never followed, nothing opened that can wait).
    const std::string temporary = path + ".tmp";
    unlink(temporary.c_str());
    const int fd = open(temporary.c_str(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0640);
    if (fd < 0) {
        return 0;
    }
    ssize_t written = 0;
    do {
        written = write(fd, text, static_cast<std::size_t>(length));
    } while (written < 0 && errno == EINTR);
    close(fd);
    if (written != length || std::rename(temporary.c_str(), path.c_str()) != 0) {
        unlink(temporary.c_str());
        return 0;
    }
    return 1;
}

int ShipLiveLoad(const std::string& path, ShipLive* live) {
    // Read only when it can be the shipper's own, as its state is.
    int fd = -1;
    std::string why;
    if (ShipOpenOwn(path, O_RDONLY, &fd, &why) != 1) {
        return 0;
    }
    char text[LIVE_TEXT_MAX] = {};
    ssize_t got = 0;
    do {
        got = read(fd, text, sizeof text - 1);
    } while (got < 0 && errno == EINTR);
    close(fd);
    if (got <= 0) {
        return 0;
    }
    char header[32] = {};
    long long shipped = 0;
    long long connected = 0;
    long long since = 0;
    // Nothing in the file is trusted: every field is read by its name, and
    // negative figures are refused.
    if (std::sscanf(text, "%31[^\n]\nshipped %lld\nconnected %lld\noutage_since %lld", header,
                    &shipped, &connected, &since) != 4 ||
        std::strcmp(header, LIVE_HEADER) != 0 || shipped < 0 || connected < 0 || connected > 1 ||
        since < 0) {
        return 0;
    }
    live->shipped = shipped;
    live->connected = connected;
    live->outageSince = since;
    return 1;
}
