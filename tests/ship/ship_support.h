// pelmor-ship under test: real nats-server processes (one, or a cluster of
// three on loopback) started in the test's folder, the receiver and the
// shipper as programs, and the stream read back whole.
#ifndef TESTS_SHIP_SHIP_SUPPORT_H
#define TESTS_SHIP_SHIP_SUPPORT_H

#include <map>
#include <string>
#include <vector>

#include "e2e_support.h"

// One message of the stream.
struct StoredRecord {
    uint64_t sequence;
    std::string id;     // Nats-Msg-Id
    std::string source; // Pelmor-Quelle
    std::string payload;
};

class ShipTest : public E2eTest {
  protected:
    void TearDown() override;

    // Draws the ports of count servers, once.
    void ReserveNats(int count);
    // Starts node (0..count-1) of count servers: count 1 is a single
    // server, 3 a cluster. Its client port is kept in natsPorts; the other
    // ports are drawn on the first start. Waits until it takes clients.
    pid_t StartNats(int node, int count = 1);
    // The client URLs of every node, comma-separated.
    std::string NatsUrls() const;
    // The parameter file of receiver and shipper: group PELMOR on port
    // with further key lines, group VERSAND with the lines given.
    void WriteShipIni(int port, const std::vector<std::string>& versand,
                      const std::vector<std::string>& pelmor = {});
    // Starts pelmor-ship on pelmor.ini; its standard error goes to ship.err
    // (appended to, over restarts).
    pid_t StartShipper();
    // pelmor-ship with words, to its end.
    ToolRun RunShipper(const std::vector<std::string>& words);
    // Every message of the stream, in order; false when it could not be read.
    bool ReadStream(const std::string& stream, std::vector<StoredRecord>* records);
    // The stream's storage, replicas and duplicate window in seconds, as
    // "file 3 600" ("memory ..."); "" when it cannot be asked.
    std::string StreamSettings(const std::string& stream);
    // Messages in the stream; 0 when it cannot be asked.
    uint64_t StreamCount(const std::string& stream);
    // Waits until the stream holds count messages; false when it did not in time.
    bool WaitForStream(const std::string& stream, uint64_t count, int milliseconds);
    // Ends a child with signal and reaps it: its exit code as SupportExitWithin.
    int Stop(pid_t child, int signal);

    std::vector<int> natsPorts;
    std::vector<int> routePorts;
    std::vector<pid_t> natsPids;
};

// Buffer-file names left beside PELMOR.BUF: renamed files not yet removed.
std::vector<std::string> ShipLeftovers(const std::string& dir);
// A record as the receiver writes it, with sequence number seq, by the
// record encoder.
std::string ShipRecord(const std::string& text, int seq);
void ShipAppend(const std::string& path, const std::string& bytes);
// Replaces "key value" lines of the shipper's state file.
void ShipEditState(const std::string& path, const std::map<std::string, std::string>& values);

#endif
