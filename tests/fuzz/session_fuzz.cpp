// Arbitrary message sequences through one session over a socket pair; every
// record in the buffer file is checked column by column.
//
// Input: repeated [length: 2 bytes little-endian, taken modulo 601][bytes].
// The client sends each message in one write and waits for its
// acknowledgements. A message longer than 512 bytes reaches the receiver as
// two reads (512, then the rest), so it is answered twice. An empty message
// means the client closes its side. A part that begins with 'X' ends the
// session: nothing after it may be recorded.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include <csignal>

#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include "commlib/nevtar.h"
#include "records.h"
#include "session.h"
#include "support/files.h"
#include "support/records.h"

namespace {

constexpr size_t kMaxMessage = 600;
constexpr int kAckWaitMs = 10000; // far beyond any healthy answer; a hang is a finding

std::string fuzzDir;
std::string bufferPath;

void require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "fuzz_session: %s\n", what);
        std::abort();
    }
}

struct ClientMessage {
    std::string bytes;
    size_t acksExpected; // parts that get a record
    bool endsSession;    // a part begins with 'X', or the message is empty
};

struct SessionPlan {
    std::vector<ClientMessage> messages;
    std::vector<std::string> columnTexts; // the message column of each record, unpadded
};

SessionPlan planSession(const uint8_t* data, size_t size) {
    SessionPlan plan;
    size_t at = 0;
    while (at + 2 <= size) {
        size_t length = (data[at] | (static_cast<size_t>(data[at + 1]) << 8)) % (kMaxMessage + 1);
        at += 2;
        if (length > size - at) {
            length = size - at;
        }
        ClientMessage message{std::string(reinterpret_cast<const char*>(data + at), length), 0,
                              length == 0};
        at += length;
        for (size_t part = 0; part < length && !message.endsSession; part += PELMOR_MESSAGE_MAX) {
            std::string text = message.bytes.substr(part, PELMOR_MESSAGE_MAX);
            if (text[0] == PELMOR_SESSION_END) {
                message.endsSession = true;
            } else {
                plan.columnTexts.push_back(text.substr(0, text.find('\0')));
                ++message.acksExpected;
            }
        }
        plan.messages.push_back(message);
        if (message.endsSession) {
            break;
        }
    }
    return plan;
}

// The client side: returns the acknowledgement bytes it received.
std::string runClient(int socket, const SessionPlan& plan) {
    std::string acks;
    for (const ClientMessage& message : plan.messages) {
        if (message.bytes.empty()) {
            break;
        }
        ssize_t sent = send(socket, message.bytes.data(), message.bytes.size(), MSG_NOSIGNAL);
        require(sent == static_cast<ssize_t>(message.bytes.size()), "client send failed");
        for (size_t i = 0; i < message.acksExpected; ++i) {
            pollfd ready{socket, POLLIN, 0};
            require(poll(&ready, 1, kAckWaitMs) == 1, "no acknowledgement in time");
            char ack = 0;
            if (recv(socket, &ack, 1, 0) != 1) {
                return acks;
            }
            acks += ack;
        }
        if (message.endsSession) {
            break;
        }
    }
    shutdown(socket, SHUT_WR);
    return acks;
}

void checkRecord(const SupportRecord& record, size_t index, const std::string& text,
                 const std::string& before, const std::string& after) {
    require(record.mark == "$", "record does not begin with $");
    require(record.ip == "127.000.000.001", "address column wrong");
    require(record.port == "06664", "port column wrong");
    require(record.stamp >= before && record.stamp <= after, "time column outside the session");
    char counter[4];
    std::snprintf(counter, sizeof counter, "%03u", static_cast<unsigned>((index + 1) % 1000));
    require(record.counter == counter, "sequence column wrong");
    require(record.message == SupportPaddedMessage(text),
            "message column wrong or not blank-padded");
    require(record.lineEnd == "\r\n", "record does not end in CR LF");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzDir = SupportMakeFolder();
    require(!fuzzDir.empty(), "no temp dir");
    bufferPath = fuzzDir + "/PELMOR.BUF";
    require(bufferPath.size() <= 100, "temp dir path too long for BUFFDATEI");
    std::string logPath = fuzzDir + "/PELMOR.LOG";
    require(CLogInit(logPath.c_str(), 1, 64) != 0, "log not started");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    SessionPlan plan = planSession(data, size);
    std::remove(bufferPath.c_str());

    ReceiverContext context{};
    context.port = 6664;
    context.timeout = 5;
    std::snprintf(context.localIP, sizeof context.localIP, "127.000.000.001");
    std::snprintf(context.portText, sizeof context.portText, "6664");
    FormatRecordPrefix(&context);
    std::snprintf(context.bufferFileName, sizeof context.bufferFileName, "%s", bufferPath.c_str());

    // libFuzzer's periodic SIGALRM would interrupt a receive, which ends a
    // session by design; hold it back until both sides are done (every wait
    // in here is bounded on its own).
    sigset_t alarm;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &alarm, nullptr);

    int pair[2];
    require(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0, "no socket pair");
    std::string acks;
    std::thread client([&] { acks = runClient(pair[1], plan); });
    std::string before = SupportRecordStamp(std::time(nullptr));
    int served = RcvConSession(&context, pair[0]);
    std::string after = SupportRecordStamp(std::time(nullptr));
    CSocketClose(pair[0]); // the library forgets the time-out it set on it
    client.join();
    close(pair[1]);
    pthread_sigmask(SIG_UNBLOCK, &alarm, nullptr);

    require(served == 1, "session not served");
    require(acks == std::string(plan.columnTexts.size(), PELMOR_ACK_STORED),
            "acknowledgements wrong");
    std::string content = SupportReadFile(bufferPath);
    require(content.size() == plan.columnTexts.size() * PELMOR_DISK_RECORD_LENGTH,
            "buffer file does not hold exactly one record per acknowledgement");
    const std::vector<SupportRecord> records = SupportRecordsOf(content);
    for (size_t i = 0; i < records.size(); ++i) {
        checkRecord(records[i], i, plan.columnTexts[i], before, after);
    }
    return 0;
}
