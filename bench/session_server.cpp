// Server side of the session benchmark: serves connections one after another
// either with RcvConSession (records into a buffer file) or as a bare
// ping-pong that reads a message and answers "1" with no file, both through
// the same library calls. Prints "PORT <n>" once it listens; runs until it
// is killed.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "commlib/nevtar.h"
#include "receiver/pelmor.h"

namespace {

constexpr int32_t BENCH_READ_TIMEOUT = 30;

void BenchPingPong(NevtarSocket connection)
{
    char message[PELMOR_MESSAGE_MAX + 1];
    for (;;) {
        int32_t count = 0;
        if (CSocketRead(connection, message, PELMOR_MESSAGE_MAX, &count, BENCH_READ_TIMEOUT) != 0 ||
            count == 0 || message[0] == 'X') {
            return;
        }
        if (CSocketWrite(connection, "1", 1, &count) != 0) {
            return;
        }
    }
}

int BenchUsage()
{
    std::fputs("Aufruf: pelmor-bench-server session BUFFERDATEI LOGDATEI\n"
               "        pelmor-bench-server pingpong\n"
               "Lauscht auf einem freien Port, gibt \"PORT <n>\" aus und bedient\n"
               "Verbindungen, bis der Prozess beendet wird.\n",
               stderr);
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    const bool session = argc == 4 && std::strcmp(argv[1], "session") == 0;
    const bool pingPong = argc == 2 && std::strcmp(argv[1], "pingpong") == 0;
    if (!session && !pingPong) {
        return BenchUsage();
    }
    ReceiverContext context{};
    if (session) {
        std::snprintf(context.bufferFileName, sizeof context.bufferFileName, "%s", argv[2]);
        std::snprintf(context.logFileName, sizeof context.logFileName, "%s", argv[3]);
        std::snprintf(context.localIP, sizeof context.localIP, "127.000.000.001");
        if (CLogInit(context.logFileName, 1000, 2000) == 0) {
            std::fputs("pelmor-bench-server: Logdatei nicht zu oeffnen\n", stderr);
            return 1;
        }
    }
    context.timeout = BENCH_READ_TIMEOUT;
    if (CSocketServerInit(&context.listenSocket, 0, &context.port) != 0) {
        std::fputs("pelmor-bench-server: kein Port\n", stderr);
        return 1;
    }
    std::snprintf(context.portText, sizeof context.portText, "%u",
                  static_cast<unsigned>(static_cast<uint16_t>(context.port)));
    std::printf("PORT %ld\n", static_cast<long>(context.port));
    std::fflush(stdout);

    for (;;) {
        NevtarSocket connection = -1;
        if (CSocketServerOpen(context.listenSocket, &connection, nullptr, 20) != 0) {
            continue;
        }
        if (session) {
            RcvConSession(&context, connection);
        } else {
            BenchPingPong(connection);
        }
        CSocketClose(connection);
    }
}
