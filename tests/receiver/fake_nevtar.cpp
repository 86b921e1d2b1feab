#include "fake_nevtar.h"

#include <cstdio>
#include <cstring>

#include "platform/kernel_objects.h"
#include "protocol/names.h"
#include "records.h"
#include "session.h"

FakeNevtar fakeNevtar;

namespace {
int32_t fakePending = 0;
constexpr int32_t FAKE_LISTEN_SOCKET = 40;
constexpr int32_t FAKE_CONNECTION = 41;
} // namespace

int RcvConSession(ReceiverContext*, NevtarSocket connection) {
    fakeNevtar.calls.push_back("session " + std::to_string(connection));
    if (fakeNevtar.sessionResults.empty()) {
        return 1;
    }
    int result = fakeNevtar.sessionResults.front();
    fakeNevtar.sessionResults.pop_front();
    return result;
}

extern "C" {

int32_t CSocketServerInit(NevtarSocket* listenSocket, int32_t port, int32_t* boundPort) {
    fakeNevtar.serverInitPort = port;
    fakePending = fakeNevtar.serverInitResult != 0;
    if (!fakePending) {
        *listenSocket = FAKE_LISTEN_SOCKET;
        *boundPort = port;
    }
    return fakeNevtar.serverInitResult;
}

int32_t CSocketServerOpen(NevtarSocket listenSocket, NevtarSocket* connection, char* peerAddress,
                          int32_t waitTenths) {
    fakeNevtar.calls.push_back("accept " + std::to_string(listenSocket) + " " +
                               std::to_string(waitTenths));
    peerAddress[0] = '\0';
    if (fakeNevtar.accepts.empty()) {
        HANDLE stop = OpenEventA(EVENT_MODIFY_STATE, FALSE, PELMOR_STOP_EVENT_NAME);
        ResetEvent(stop);
        CloseHandle(stop);
        fakePending = 0;
        return -1;
    }
    FakeNevtar::Accept next = fakeNevtar.accepts.front();
    fakeNevtar.accepts.pop_front();
    fakePending = next.pending;
    if (next.result == 0) {
        *connection = FAKE_CONNECTION;
    }
    return next.result;
}

int32_t CSocketClose(NevtarSocket socket) {
    fakeNevtar.calls.push_back("close " + std::to_string(socket));
    return socket == FAKE_LISTEN_SOCKET ? fakeNevtar.listenCloseResult
                                        : fakeNevtar.connectionCloseResult;
}

int32_t CGetLastErrorString(int32_t* errorNumber, char* text, int32_t capacity) {
    *errorNumber = fakePending ? 99 : 0;
    std::snprintf(text, static_cast<size_t>(capacity), "%s", fakePending ? "fake error" : "");
    return fakePending;
}

int32_t CSocketCleanup(void) {
    fakeNevtar.calls.push_back("cleanup");
    return fakeNevtar.cleanupResult;
}

int32_t CGetLocalIPString(char* text, int32_t capacity) {
    fakePending = fakeNevtar.localIpResult != 0;
    std::snprintf(text, static_cast<size_t>(capacity), "%s",
                  fakePending ? "half" : fakeNevtar.localIp);
    return fakeNevtar.localIpResult;
}

int32_t CLogInit(const char* fileName, int32_t logLevel, int32_t maxLogSize) {
    fakeNevtar.logFileName = fileName;
    fakeNevtar.logLevel = logLevel;
    fakeNevtar.maxLogSize = maxLogSize;
    return fakeNevtar.logInitResult;
}

int32_t CLogWrite(const char* source, const char* function, int32_t level, int32_t errorCode,
                  int32_t furtherNumber, const char* message, const char* extraText) {
    if (std::strcmp(source, "pelmor") != 0) {
        fakeNevtar.log.push_back(std::string("wrong source ") + source);
    }
    fakeNevtar.log.push_back(std::string(function) + "|" + std::to_string(level) + "|" +
                             std::to_string(errorCode) + "|" + std::to_string(furtherNumber) + "|" +
                             message + "|" + extraText);
    return 0;
}

} // extern "C"
