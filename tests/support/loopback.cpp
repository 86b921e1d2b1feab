// The tests' loopback client, on the tools' TCP client.
#include "support/loopback.h"

#include "client/client_socket.h"

int LoopbackConnect(int port) {
    char why[CLIENT_WHY_SIZE] = "";
    return ClientConnect("127.0.0.1", std::to_string(port).c_str(), 5, why);
}

bool LoopbackSend(int fd, const std::string& bytes) {
    return ClientSend(fd, bytes.data(), bytes.size());
}

int LoopbackReceiveByte(int fd) {
    return ClientReceiveByte(fd);
}

int LoopbackSendMessage(int fd, const std::string& message) {
    if (!LoopbackSend(fd, message)) {
        return -1;
    }
    const int ack = LoopbackReceiveByte(fd);
    return ack >= 0 ? ack : -1;
}

bool LoopbackEndSession(int fd) {
    return ClientSend(fd, &PELMOR_SESSION_END, 1);
}

void LoopbackReset(int fd) {
    ClientReset(fd);
}
