#include "support/loopback.h"

int LoopbackSendMessage(int fd, const std::string& message) {
    if (!LoopbackSend(fd, message)) {
        return -1;
    }
    const int ack = LoopbackReceiveByte(fd);
    return ack >= 0 ? ack : -1;
}
