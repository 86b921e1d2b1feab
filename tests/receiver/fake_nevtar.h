// A scripted stand-in for the communication library and the session, so the
// receiver's lifecycle can be driven through every failure path in-process.
// The program links the real library; RcvConSession here takes the place of
// the receiver's session, which the lifecycle tests do not link.
#ifndef TESTS_RECEIVER_FAKE_NEVTAR_H
#define TESTS_RECEIVER_FAKE_NEVTAR_H

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

struct FakeNevtar {
    int32_t logInitResult = 1;
    int32_t serverInitResult = 0;
    int32_t localIpResult = 0;
    const char* localIp = "10.1.2.3";
    // One entry per accept: its result and whether a failure is then pending.
    // When they run out, the stop event is reset and the accept returns benignly.
    struct Accept {
        int32_t result;
        int32_t pending;
    };
    std::deque<Accept> accepts;
    std::deque<int> sessionResults; // RcvConSession's answers, 1 when none is left
    int32_t connectionCloseResult = 0;
    int32_t listenCloseResult = 0;
    int32_t cleanupResult = 0;

    // What the receiver did, in order.
    std::vector<std::string> calls;
    // "function|level|code|number|message|extra" per CLogWrite.
    std::vector<std::string> log;
    int32_t serverInitPort = -1;
    int32_t logLevel = -1;
    int32_t maxLogSize = -1;
    std::string logFileName;
};

extern FakeNevtar fakeNevtar;

#endif
