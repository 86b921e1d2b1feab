// Two real receivers on one shared listening socket (as systemd passes
// pelmor.socket to each) behind a real haproxy running the shipped example
// configuration, only its addresses moved to free loopback ports: sessions
// spread over the receivers, every message stored once with the socket's
// port; silent and trickling clients hold nobody up; TLS at the front.
#include "e2e_support.h"

#include "protocol/wire.h"
#include "support/records.h"

#include <openssl/ssl.h>

#include <condition_variable>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int HAPROXY_CLIENTS = 8;
constexpr int HAPROXY_MESSAGES = 25; // per client and round
constexpr int HAPROXY_INSTANCES = 2;

// Replaces the one occurrence of from in text; false when it is not there once.
bool ReplaceOnce(std::string* text, const std::string& from, const std::string& to) {
    const std::size_t at = text->find(from);
    if (at == std::string::npos || text->find(from, at + 1) != std::string::npos) {
        return false;
    }
    text->replace(at, from.size(), to);
    return true;
}

// Open and untouched by the far end: nothing to read, no close, no reset.
bool StillOpen(int fd) {
    pollfd probe{fd, POLLIN | POLLRDHUP, 0};
    return poll(&probe, 1, 0) == 0;
}

// Sends the message over TLS and returns the acknowledgement byte (-1 for
// none), then ends the session with "X". The front's certificate is the
// only one trusted, for the name "localhost".
int TlsSendMessage(int port, const std::string& certificate, const std::string& message) {
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    int acknowledgement = -1;
    const int fd = LoopbackConnect(port);
    SSL* tls = nullptr;
    if (context != nullptr && fd >= 0 &&
        SSL_CTX_load_verify_locations(context, certificate.c_str(), nullptr) == 1) {
        SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
        tls = SSL_new(context);
    }
    unsigned char byte = 0;
    if (tls != nullptr && SSL_set1_host(tls, "localhost") == 1 && SSL_set_fd(tls, fd) == 1 &&
        SSL_connect(tls) == 1 &&
        SSL_write(tls, message.data(), static_cast<int>(message.size())) > 0 &&
        SSL_read(tls, &byte, 1) == 1) {
        acknowledgement = byte;
        SSL_write(tls, &PELMOR_SESSION_END, 1);
        SSL_shutdown(tls);
    }
    SSL_free(tls);
    SSL_CTX_free(context);
    if (fd >= 0) {
        close(fd);
    }
    return acknowledgement;
}

class HaproxyFront : public E2eTest {
  protected:
    struct Instance {
        std::string folder;  // working folder: buffer file and log
        std::string runtime; // its named objects
    };

    // Starts receiver i in its own folder, with its own named objects, on
    // the shared socket.
    void StartInstance(int i) {
        Instance instance{PathOf("r" + std::to_string(i)), ""};
        instance.runtime = instance.folder + "/rt";
        ASSERT_EQ(mkdir(instance.folder.c_str(), 0700), 0);
        ASSERT_EQ(mkdir(instance.runtime.c_str(), 0700), 0);
        WriteStandardIni("r" + std::to_string(i) + "/pelmor.ini", socketPort);
        Track(SupportStart("/usr/bin/env",
                           {"PELMOR_RUNTIME_DIR=" + instance.runtime, PELMOR_BIN, "pelmor.ini"},
                           instance.folder, instance.folder + "/out", instance.folder + "/err",
                           E2ePassSharedListener));
        instances.push_back(instance);
        EXPECT_EQ(Pelmorctl(instance, {"wait-ready", "--timeout", "15"}).exitCode, 0);
    }

    ToolRun Pelmorctl(const Instance& instance, const std::vector<std::string>& words) {
        std::vector<std::string> line = {"PELMOR_RUNTIME_DIR=" + instance.runtime, PELMORCTL_BIN};
        line.insert(line.end(), words.begin(), words.end());
        const pid_t child =
            SupportStart("/usr/bin/env", line, dir, PathOf("ctl.out"), PathOf("ctl.err"));
        const int exitCode = SupportExitWithin(child, E2E_WAIT_MS);
        return {exitCode, SupportReadFile(PathOf("ctl.out")), SupportReadFile(PathOf("ctl.err"))};
    }

    void Track(pid_t child) {
        ASSERT_GT(child, 0);
        started.push_back(child);
    }

    // The shipped configuration with the TLS listener (the test's
    // certificate), the plain one enabled, and the receivers' socket moved to
    // the test's ports.
    void StartHaproxy() {
        std::string config = SupportReadFile(PELMOR_HAPROXY_CFG);
        front = LoopbackFreePort();
        tlsFront = LoopbackFreePort();
        ASSERT_TRUE(ReplaceOnce(&config, "#bind :6666", "bind 127.0.0.1:" + std::to_string(front)));
        ASSERT_TRUE(ReplaceOnce(&config, "bind :6665 ssl crt /etc/haproxy/certs/pelmor.pem",
                                "bind 127.0.0.1:" + std::to_string(tlsFront) + " ssl crt " +
                                    PathOf("front.pem")));
        ASSERT_TRUE(ReplaceOnce(&config, "127.0.0.1:6664\n",
                                "127.0.0.1:" + std::to_string(socketPort) + "\n"));
        ASSERT_EQ(config.find("6664\n"), std::string::npos) << "the socket not moved";
        ASSERT_EQ(config.find("bind :"), std::string::npos) << "a front not moved";
        std::ofstream(PathOf("haproxy.cfg")) << config;

        // A self-signed certificate for "localhost", key and certificate in one file.
        const pid_t openssl = SupportStart(
            PELMOR_OPENSSL,
            {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
             "-days", "1", "-subj", "/CN=localhost", "-addext", "subjectAltName=DNS:localhost",
             "-keyout", PathOf("front.key"), "-out", PathOf("front.crt")},
            dir, PathOf("openssl.out"), PathOf("openssl.err"));
        ASSERT_EQ(SupportExitWithin(openssl, E2E_WAIT_MS), 0)
            << SupportReadFile(PathOf("openssl.err"));
        std::ofstream(PathOf("front.pem"))
            << SupportReadFile(PathOf("front.crt")) << SupportReadFile(PathOf("front.key"));

        Track(SupportStart(PELMOR_HAPROXY, {"-db", "-f", PathOf("haproxy.cfg")}, dir,
                           PathOf("haproxy.out"), PathOf("haproxy.err")));
        // Ready once the front takes connections (one that sends nothing
        // reaches no receiver).
        for (int waited = 0; waited < E2E_WAIT_MS; waited += 20) {
            const int probe = LoopbackConnect(front);
            if (probe >= 0) {
                close(probe);
                return;
            }
            usleep(20000);
        }
        FAIL() << "haproxy nimmt keine Verbindung an: " << SupportReadFile(PathOf("haproxy.err"));
    }

    // The eight clients at once; every failure they met.
    std::string RunClients(const std::string& round, const std::function<void()>& afterFirst) {
        std::vector<std::string> failures(HAPROXY_CLIENTS);
        std::vector<std::vector<std::string>> sentBy(HAPROXY_CLIENTS);
        std::vector<std::thread> clients;
        for (int c = 0; c < HAPROXY_CLIENTS; ++c) {
            clients.emplace_back([&, c] {
                std::vector<std::string> own;
                const int fd = LoopbackConnect(front);
                if (fd < 0) {
                    failures[c] = "keine Verbindung";
                    return;
                }
                for (int i = 1; i <= HAPROXY_MESSAGES && failures[c].empty(); ++i) {
                    const std::string message =
                        round + "-c" + std::to_string(c) + "-" + std::to_string(i);
                    if (LoopbackSendMessage(fd, message) != PELMOR_ACK_STORED) {
                        failures[c] = message + " nicht quittiert; ";
                    }
                    own.push_back(message);
                    if (i == 1 && afterFirst) {
                        afterFirst();
                    }
                }
                LoopbackEndSession(fd);
                close(fd);
                sentBy[c] = own;
            });
        }
        for (std::thread& client : clients) {
            client.join();
        }
        std::string all;
        for (int c = 0; c < HAPROXY_CLIENTS; ++c) {
            all += failures[c];
            sent.insert(sent.end(), sentBy[c].begin(), sentBy[c].end());
        }
        return all;
    }

    // Every record of instance i: its message, with its port and counter.
    std::vector<SupportRecord> RecordsOf(int i) const {
        return SupportRecordsOf(SupportReadFile(instances[i].folder + "/PELMOR.BUF"));
    }

    void TearDown() override {
        E2eTest::TearDown();
        E2eCloseSharedListener();
    }

    std::vector<Instance> instances;
    int socketPort = -1;           // the receivers' one listening socket
    std::vector<std::string> sent; // every message acknowledged "1"
    int front = -1;
    int tlsFront = -1;
};

TEST_F(HaproxyFront, SpreadsSessionsStoresEachMessageOnceAndLetsNoSlowClientHoldOthers) {
    socketPort = E2eMakeSharedListener();
    ASSERT_GT(socketPort, 0);
    for (int i = 0; i < HAPROXY_INSTANCES; ++i) {
        StartInstance(i);
    }
    ASSERT_FALSE(HasFailure());
    StartHaproxy();
    ASSERT_FALSE(HasFailure());

    // Eight clients at once. Each holds its session after its first message
    // until a second session has stored one too: two sessions at once, and
    // each receiver takes one, so both are used.
    std::mutex lock;
    std::condition_variable changed;
    int firstStored = 0;
    EXPECT_EQ(RunClients("a",
                         [&] {
                             std::unique_lock<std::mutex> held(lock);
                             firstStored++;
                             changed.notify_all();
                             changed.wait_for(held, std::chrono::milliseconds(E2E_WAIT_MS),
                                              [&] { return firstStored >= 2; });
                         }),
              "");
    for (int i = 0; i < HAPROXY_INSTANCES; ++i) {
        EXPECT_FALSE(RecordsOf(i).empty()) << "Empfaenger " << i << " blieb ungenutzt";
    }

    // A trickling client holds one receiver, and as many connections as
    // there are receivers send nothing. The eight still all finish, and they
    // do so while every silent connection is still open: the front holds a
    // silent connection for TIMEOUT and then closes it, so they waited for
    // no time-out, and the trickler's session outlives them (its next
    // message is the second of the same session).
    const int trickler = LoopbackConnect(front);
    ASSERT_GE(trickler, 0);
    ASSERT_EQ(LoopbackSendMessage(trickler, "trickle-1"), PELMOR_ACK_STORED);
    sent.push_back("trickle-1");
    std::vector<int> silent;
    for (int i = 0; i < HAPROXY_INSTANCES; ++i) {
        silent.push_back(LoopbackConnect(front));
        ASSERT_GE(silent.back(), 0);
    }
    EXPECT_EQ(RunClients("b", nullptr), "");
    for (int fd : silent) {
        EXPECT_TRUE(StillOpen(fd)) << "die Acht warteten auf ein Zeitlimit";
    }
    EXPECT_EQ(LoopbackSendMessage(trickler, "trickle-2"), PELMOR_ACK_STORED);
    sent.push_back("trickle-2");
    LoopbackEndSession(trickler);
    close(trickler);

    // TLS at the front, the same protocol inside.
    EXPECT_EQ(TlsSendMessage(tlsFront, PathOf("front.crt"), "ueber TLS"), PELMOR_ACK_STORED);
    sent.push_back("ueber TLS");

    // The front closes the silent connections at their time; none ever
    // reached a receiver.
    for (int fd : silent) {
        pollfd closed{fd, POLLIN, 0};
        EXPECT_EQ(poll(&closed, 1, E2E_WAIT_MS), 1);
        EXPECT_EQ(LoopbackReceiveByte(fd), -1) << "nicht geschlossen";
        close(fd);
    }

    // Every message acknowledged is stored exactly once across both buffer
    // files, each record with the socket's port; the trickler's two in one
    // session.
    std::map<std::string, int> stored;
    char port[8];
    std::snprintf(port, sizeof port, "%05d", socketPort);
    for (int i = 0; i < HAPROXY_INSTANCES; ++i) {
        for (const SupportRecord& record : RecordsOf(i)) {
            stored[SupportRecordMessage(record)]++;
            EXPECT_EQ(record.port, port);
            if (SupportRecordMessage(record) == "trickle-2") {
                EXPECT_EQ(record.counter, "002") << "Tropfer-Sitzung neu begonnen";
            }
        }
    }
    EXPECT_EQ(sent.size(), 2u * HAPROXY_CLIENTS * HAPROXY_MESSAGES + 3);
    EXPECT_EQ(stored.size(), sent.size());
    for (const std::string& message : sent) {
        EXPECT_EQ(stored[message], 1) << message;
    }

    // Held connections left no trace in the receivers:
    // no log entry, no session ended by time-out, by the client or by a
    // failure.
    for (const Instance& instance : instances) {
        EXPECT_EQ(SupportReadFile(instance.folder + "/PELMOR.LOG"), "");
        const std::string status = Pelmorctl(instance, {"status", "--json"}).out;
        for (const char* none : {"\"read_timeouts\": 0,", "\"ended_peer\": 0,",
                                 "\"ended_failure\": 0,", "\"records_failed\": 0,"}) {
            EXPECT_EQ(E2eCount(status, none), 1) << none << " in " << status;
        }
    }
}

} // namespace
