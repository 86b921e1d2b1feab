#include "ship_support.h"

#include <chrono>
#include <ctime>
#include <fstream>
#include <thread>

#include <dirent.h>
#include <nats/nats.h>
#include <signal.h>

#include "protocol/record.h"
#include "support/records.h"

namespace {

std::string Header(natsMsg* msg, const char* key) {
    const char* value = nullptr;
    return natsMsgHeader_Get(msg, key, &value) == NATS_OK ? value : "";
}

} // namespace

void ShipTest::TearDown() {
    for (pid_t& pid : natsPids) {
        if (pid > 0) {
            Stop(pid, SIGKILL);
        }
    }
    E2eTest::TearDown();
}

void ShipTest::ReserveNats(int count) {
    while (static_cast<int>(natsPorts.size()) < count) {
        natsPorts.push_back(LoopbackFreePort());
        routePorts.push_back(LoopbackFreePort());
        natsPids.push_back(-1);
    }
}

pid_t ShipTest::StartNats(int node, int count) {
    ReserveNats(count);
    const std::string name = "nats" + std::to_string(node);
    std::ofstream config(PathOf(name + ".conf"));
    config << "server_name: " << name << "\nlisten: 127.0.0.1:" << natsPorts[node]
           << "\njetstream { store_dir: \"" << PathOf(name) << "\" }\n";
    if (count > 1) {
        config << "cluster { name: pelmor\n  listen: 127.0.0.1:" << routePorts[node]
               << "\n  routes: [";
        for (int other = 0; other < count; ++other) {
            config << (other > 0 ? ", " : "") << "nats-route://127.0.0.1:" << routePorts[other];
        }
        config << "]\n}\n";
    }
    config.close();
    pid_t pid = SupportStart(NATS_SERVER_BIN, {"-c", name + ".conf"}, dir, PathOf(name + ".out"),
                             PathOf(name + ".log"));
    natsPids[node] = pid;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(E2E_WAIT_MS);
    while (std::chrono::steady_clock::now() < deadline) {
        const int probe = LoopbackConnect(natsPorts[node]);
        if (probe >= 0) {
            LoopbackReset(probe);
            return pid;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ADD_FAILURE() << "nats-server nicht bereit: " << SupportReadFile(PathOf(name + ".log"));
    return pid;
}

std::string ShipTest::NatsUrls() const {
    std::string urls;
    for (int port : natsPorts) {
        urls += (urls.empty() ? "" : ",") + std::string("nats://127.0.0.1:") + std::to_string(port);
    }
    return urls;
}

void ShipTest::WriteShipIni(int port, const std::vector<std::string>& versand,
                            const std::vector<std::string>& pelmor) {
    std::vector<std::string> lines = {"UPLPORT    = " + std::to_string(port),
                                      "BUFFDATEI  = PELMOR.BUF",
                                      "LOGDATEI   = PELMOR.LOG",
                                      "MAXLOGSIZE = 2000",
                                      "ERRLEVEL   = 1000",
                                      "TIMEOUT    = 3"};
    // A line given for a key already in its group replaces it; others are added.
    const auto put = [&lines](const std::string& line, size_t from) {
        const std::string key = line.substr(0, line.find_first_of(" ="));
        for (size_t i = from; i < lines.size(); ++i) {
            if (lines[i].substr(0, lines[i].find_first_of(" =")) == key) {
                lines[i] = line;
                return;
            }
        }
        lines.push_back(line);
    };
    for (const std::string& line : pelmor) {
        put(line, 0);
    }
    lines.push_back("[VERSAND]");
    const size_t group = lines.size();
    lines.push_back("NATSURL    = " + NatsUrls());
    for (const std::string& line : versand) {
        put(line, group);
    }
    WriteIni("pelmor.ini", lines);
}

pid_t ShipTest::StartShipper() {
    // Each run's errors appended to the runs before.
    const std::string all = SupportReadFile(PathOf("ship.err"));
    std::ofstream(PathOf("ship.all"), std::ios::app) << all;
    pid_t pid =
        SupportStart(PELMOR_SHIP_BIN, {"pelmor.ini"}, dir, PathOf("ship.out"), PathOf("ship.err"));
    if (pid > 0) {
        started.push_back(pid);
    }
    return pid;
}

E2eTest::ToolRun ShipTest::RunShipper(const std::vector<std::string>& words) {
    pid_t child = SupportStart(PELMOR_SHIP_BIN, words, dir, PathOf("run.out"), PathOf("run.err"));
    const int exitCode = SupportExitWithin(child, E2E_WAIT_MS);
    return {exitCode, SupportReadFile(PathOf("run.out")), SupportReadFile(PathOf("run.err"))};
}

int ShipTest::Stop(pid_t child, int signal) {
    kill(child, signal);
    return ReceiverExit(child);
}

bool ShipTest::ReadStream(const std::string& stream, std::vector<StoredRecord>* records) {
    records->clear();
    natsConnection* connection = nullptr;
    jsCtx* js = nullptr;
    jsStreamInfo* info = nullptr;
    bool read = natsConnection_ConnectTo(&connection, NatsUrls().c_str()) == NATS_OK &&
                natsConnection_JetStream(&js, connection, nullptr) == NATS_OK &&
                js_GetStreamInfo(&info, js, stream.c_str(), nullptr, nullptr) == NATS_OK;
    for (uint64_t sequence = read ? info->State.FirstSeq : 1;
         read && info->State.Msgs > 0 && sequence <= info->State.LastSeq; ++sequence) {
        natsMsg* msg = nullptr;
        read = js_GetMsg(&msg, js, stream.c_str(), sequence, nullptr, nullptr) == NATS_OK;
        if (read) {
            records->push_back({sequence, Header(msg, "Nats-Msg-Id"), Header(msg, "Pelmor-Quelle"),
                                std::string(natsMsg_GetData(msg),
                                            static_cast<size_t>(natsMsg_GetDataLength(msg)))});
        }
        natsMsg_Destroy(msg);
    }
    jsStreamInfo_Destroy(info);
    jsCtx_Destroy(js);
    natsConnection_Destroy(connection);
    return read;
}

std::string ShipTest::StreamSettings(const std::string& stream) {
    natsConnection* connection = nullptr;
    jsCtx* js = nullptr;
    jsStreamInfo* info = nullptr;
    std::string settings;
    if (natsConnection_ConnectTo(&connection, NatsUrls().c_str()) == NATS_OK &&
        natsConnection_JetStream(&js, connection, nullptr) == NATS_OK &&
        js_GetStreamInfo(&info, js, stream.c_str(), nullptr, nullptr) == NATS_OK) {
        settings = std::string(info->Config->Storage == js_FileStorage ? "file " : "memory ") +
                   std::to_string(info->Config->Replicas) + " " +
                   std::to_string(info->Config->Duplicates / 1000000000);
    }
    jsStreamInfo_Destroy(info);
    jsCtx_Destroy(js);
    natsConnection_Destroy(connection);
    return settings;
}

uint64_t ShipTest::StreamCount(const std::string& stream) {
    natsConnection* connection = nullptr;
    jsCtx* js = nullptr;
    jsStreamInfo* info = nullptr;
    uint64_t count = 0;
    if (natsConnection_ConnectTo(&connection, NatsUrls().c_str()) == NATS_OK &&
        natsConnection_JetStream(&js, connection, nullptr) == NATS_OK &&
        js_GetStreamInfo(&info, js, stream.c_str(), nullptr, nullptr) == NATS_OK) {
        count = info->State.Msgs;
    }
    jsStreamInfo_Destroy(info);
    jsCtx_Destroy(js);
    natsConnection_Destroy(connection);
    return count;
}

bool ShipTest::WaitForStream(const std::string& stream, uint64_t count, int milliseconds) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (StreamCount(stream) >= count) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

std::vector<std::string> ShipLeftovers(const std::string& dir) {
    std::vector<std::string> names;
    DIR* folder = opendir(dir.c_str());
    while (folder != nullptr) {
        const dirent* entry = readdir(folder);
        if (entry == nullptr) {
            break;
        }
        const std::string name = entry->d_name;
        if (name.rfind("PELMOR.BUF.", 0) == 0 && name.find("versand") == std::string::npos) {
            names.push_back(name);
        }
    }
    if (folder != nullptr) {
        closedir(folder);
    }
    return names;
}

std::string ShipRecord(const std::string& text, int seq) {
    char prefix[RECORD_STAMP_AT];
    RecordEncodePrefix("127.000.000.001", 6664, prefix);
    char record[PELMOR_DISK_RECORD_LENGTH + 1];
    RecordEncode(prefix, SupportRecordStamp(std::time(nullptr)).c_str(), static_cast<uint32_t>(seq),
                 text.c_str(), record);
    return std::string(record, PELMOR_DISK_RECORD_LENGTH);
}

void ShipAppend(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::app) << bytes;
}

void ShipEditState(const std::string& path, const std::map<std::string, std::string>& values) {
    std::ifstream in(path);
    std::string text;
    std::string line;
    while (std::getline(in, line)) {
        const std::string key = line.substr(0, line.find(' '));
        text += values.count(key) != 0 ? key + " " + values.at(key) : line;
        text += "\n";
    }
    in.close();
    std::ofstream(path, std::ios::trunc) << text;
}
