// NATS for pelmor-ship: one connection that reconnects on its own, the
// stream, asynchronous publications with their acknowledgements.
#include "ship_nats.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <vector>

#include <nats/nats.h>

namespace {

constexpr int64_t NATS_CONNECT_TIMEOUT_MS = 2000;
constexpr int64_t NATS_PING_MS = 2000;
constexpr int64_t NATS_PAUSE_FIRST_MS = 100;
constexpr int64_t NATS_PAUSE_MAX_MS = 10000;
constexpr int64_t NATS_NANOS_PER_SECOND = 1000000000;
constexpr int64_t NATS_SCAN_WAIT_MS = 5000;
constexpr int64_t NATS_REQUEST_WAIT_MS = 5000;

natsConnection* NatsConnection = nullptr;
jsCtx* NatsJet = nullptr;
natsOptions* NatsOptions = nullptr;
std::atomic<bool> NatsUp{false};
std::atomic<bool> NatsLost{false};
std::atomic<int64_t> NatsDownSince{0}; // seconds since the epoch, 0 while up
jsOptions NatsJetOptions;
int NatsTries = 0;         // connection attempts since the last success
int64_t NatsNextTryMs = 0; // the next one not before, on the steady clock

int64_t NatsSteadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int64_t NatsNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void NatsDown() {
    NatsUp = false;
    int64_t none = 0;
    if (NatsDownSince.compare_exchange_strong(none, NatsNow())) {
        NatsLost = true;
    }
}

void NatsOnDisconnected(natsConnection*, void*) {
    NatsDown();
}

void NatsOnConnected(natsConnection*, void*) {
    NatsUp = true;
    NatsDownSince = 0;
}

// Pauses between attempts that grow from 0.1 s to 10 s: a cluster that is
// down for long is not hammered, one that is back is found soon.
int64_t NatsPause(natsConnection*, int attempts, void*) {
    int64_t pause = NATS_PAUSE_FIRST_MS;
    for (int i = 1; i < attempts && pause < NATS_PAUSE_MAX_MS; ++i) {
        pause *= 2;
    }
    return pause < NATS_PAUSE_MAX_MS ? pause : NATS_PAUSE_MAX_MS;
}

// Every outcome of a publication; the message is ours to destroy here.
void NatsOnAck(jsCtx*, natsMsg* msg, jsPubAck* ack, jsPubAckErr* failure, void* closure) {
    ShipContext* ship = static_cast<ShipContext*>(closure);
    const char* id = nullptr;
    if (natsMsgHeader_Get(msg, "Nats-Msg-Id", &id) == NATS_OK) {
        if (ack != nullptr) {
            ShipCoreOutcome(ship, id, true, ack->Sequence, "");
        } else if (failure != nullptr) {
            ShipCoreOutcome(ship, id, false, 0,
                            failure->ErrText != nullptr ? failure->ErrText
                                                        : natsStatus_GetText(failure->Err));
        } else {
            ShipCoreOutcome(ship, id, false, 0, "unbekannt");
        }
    }
    natsMsg_Destroy(msg);
}

std::string NatsReason(natsStatus status, const char* what) {
    std::string reason = std::string(what) + ": " + natsStatus_GetText(status);
    const char* detail = nats_GetLastError(nullptr);
    if (detail != nullptr && detail[0] != '\0' &&
        std::strcmp(detail, natsStatus_GetText(status)) != 0) {
        reason += std::string(" (") + detail + ")";
    }
    return reason;
}

} // namespace

int ShipNatsStart(const ShipConfig& config, ShipContext* ship, std::string* error) {
    natsStatus status = nats_Open(-1);
    if (status == NATS_OK) {
        status = natsOptions_Create(&NatsOptions);
    }
    // Several servers, comma-separated: each is tried, and a lost
    // connection goes on with the next.
    std::vector<std::string> urls;
    for (std::size_t start = 0; start <= config.natsUrl.size();) {
        std::size_t comma = config.natsUrl.find(',', start);
        comma = comma == std::string::npos ? config.natsUrl.size() : comma;
        if (comma > start) {
            urls.push_back(config.natsUrl.substr(start, comma - start));
        }
        start = comma + 1;
    }
    std::vector<const char*> servers;
    for (const std::string& url : urls) {
        servers.push_back(url.c_str());
    }
    if (status == NATS_OK) {
        status = servers.empty() ? NATS_INVALID_ARG
                                 : natsOptions_SetServers(NatsOptions, servers.data(),
                                                          static_cast<int>(servers.size()));
    }
    const std::string name = "pelmor-ship " + config.source;
    if (status == NATS_OK) {
        status = natsOptions_SetName(NatsOptions, name.c_str());
    }
    if (status == NATS_OK) {
        status = natsOptions_SetTimeout(NatsOptions, NATS_CONNECT_TIMEOUT_MS);
    }
    if (status == NATS_OK) {
        status = natsOptions_SetMaxReconnect(NatsOptions, -1);
    }
    if (status == NATS_OK) {
        status = natsOptions_SetCustomReconnectDelay(NatsOptions, NatsPause, nullptr);
    }
    if (status == NATS_OK) {
        status = natsOptions_SetPingInterval(NatsOptions, NATS_PING_MS);
    }
    if (status == NATS_OK) {
        // A server that stops answering is left after two pings unanswered.
        status = natsOptions_SetMaxPingsOut(NatsOptions, 2);
    }
    if (status == NATS_OK) {
        status = natsOptions_SetDisconnectedCB(NatsOptions, NatsOnDisconnected, nullptr);
    }
    if (status == NATS_OK) {
        status = natsOptions_SetReconnectedCB(NatsOptions, NatsOnConnected, nullptr);
    }
    if (status == NATS_OK && !config.credentials.empty()) {
        status = natsOptions_SetUserCredentialsFromFiles(NatsOptions, config.credentials.c_str(),
                                                         nullptr);
    }
    if (status == NATS_OK && !config.caFile.empty()) {
        status = natsOptions_SetSecure(NatsOptions, true);
        if (status == NATS_OK) {
            status = natsOptions_LoadCATrustedCertificates(NatsOptions, config.caFile.c_str());
        }
    }
    if (status == NATS_OK && !config.certFile.empty()) {
        status = natsOptions_LoadCertificatesChain(NatsOptions, config.certFile.c_str(),
                                                   config.keyFile.c_str());
    }
    if (status != NATS_OK) {
        *error = NatsReason(status, "NATS-Optionen");
        return 0;
    }
    jsOptions_Init(&NatsJetOptions);
    NatsJetOptions.PublishAsync.AckHandler = NatsOnAck;
    NatsJetOptions.PublishAsync.AckHandlerClosure = ship;
    NatsJetOptions.PublishAsync.MaxPending = config.window + 1; // our own window is the bound
    // Every request (the stream's lookup, its creation) has its time-out: a
    // server that takes the connection but answers nothing is an outage.
    NatsJetOptions.Wait = NATS_REQUEST_WAIT_MS;
    NatsTries = 0;
    NatsNextTryMs = NatsSteadyMs();
    ShipNatsConnected(); // the first attempt, said as an outage when it fails
    return 1;
}

namespace {

// One attempt at the first connection. The library's own retry of a failed
// first connect stalls for good when a server took the connection and then
// answered nothing (stopped); each attempt here ends at its time-out, and
// the next one comes after the same growing pauses. Once connected, the
// library reconnects on its own.
void NatsTryConnect() {
    natsConnection* connection = nullptr;
    jsCtx* jet = nullptr;
    if (natsConnection_Connect(&connection, NatsOptions) == NATS_OK &&
        natsConnection_JetStream(&jet, connection, &NatsJetOptions) == NATS_OK) {
        NatsConnection = connection;
        NatsJet = jet;
        NatsTries = 0;
        NatsOnConnected(connection, nullptr);
        return;
    }
    natsConnection_Destroy(connection);
    NatsDown();
    NatsNextTryMs = NatsSteadyMs() + NatsPause(nullptr, ++NatsTries, nullptr);
}

} // namespace

void ShipNatsStop() {
    jsCtx_Destroy(NatsJet);
    NatsJet = nullptr;
    natsConnection_Destroy(NatsConnection);
    NatsConnection = nullptr;
    natsOptions_Destroy(NatsOptions);
    NatsOptions = nullptr;
    nats_CloseAndWait(NATS_CONNECT_TIMEOUT_MS);
}

bool ShipNatsConnected() {
    if (NatsConnection == nullptr && NatsOptions != nullptr && NatsSteadyMs() >= NatsNextTryMs) {
        NatsTryConnect();
    }
    return NatsConnection != nullptr &&
           natsConnection_Status(NatsConnection) == NATS_CONN_STATUS_CONNECTED;
}

bool ShipNatsTakeLost() {
    return NatsLost.exchange(false);
}

int ShipNatsStream(const ShipConfig& config, uint64_t* lastSequence, std::string* error) {
    jsStreamInfo* info = nullptr;
    jsErrCode code = static_cast<jsErrCode>(0);
    natsStatus status = js_GetStreamInfo(&info, NatsJet, config.stream.c_str(), nullptr, &code);
    if (status == NATS_NOT_FOUND) {
        jsStreamConfig stream;
        jsStreamConfig_Init(&stream);
        const char* subjects[] = {config.subject.c_str()};
        stream.Name = config.stream.c_str();
        stream.Subjects = subjects;
        stream.SubjectsLen = 1;
        stream.Storage = js_FileStorage;
        stream.Replicas = config.replicas;
        stream.Duplicates = static_cast<int64_t>(config.duplicateWindow) * NATS_NANOS_PER_SECOND;
        status = js_AddStream(&info, NatsJet, &stream, nullptr, &code);
        if (status != NATS_OK) {
            *error = NatsReason(status, ("Stream " + config.stream + " nicht angelegt").c_str());
            return 0;
        }
    } else if (status != NATS_OK) {
        *error = NatsReason(status, ("Stream " + config.stream + " nicht abgefragt").c_str());
        return 0;
    }
    *lastSequence = info->State.LastSeq;
    jsStreamInfo_Destroy(info);
    return 1;
}

int ShipNatsScan(const ShipConfig& config, uint64_t floor, uint64_t last, const std::string& prefix,
                 ShipContext* ship, void (*found)(ShipContext* ship, const char* id)) {
    if (last <= floor) {
        return 1;
    }
    jsSubOptions options;
    jsSubOptions_Init(&options);
    options.Stream = config.stream.c_str();
    options.Ordered = true;
    options.Config.DeliverPolicy = js_DeliverByStartSequence;
    options.Config.OptStartSeq = floor + 1;
    options.Config.HeadersOnly = true;
    natsSubscription* subscription = nullptr;
    jsErrCode code = static_cast<jsErrCode>(0);
    if (js_SubscribeSync(&subscription, NatsJet, config.subject.c_str(), nullptr, &options,
                         &code) != NATS_OK) {
        return 0;
    }
    int result = 0;
    for (;;) {
        natsMsg* msg = nullptr;
        if (natsSubscription_NextMsg(&msg, subscription, NATS_SCAN_WAIT_MS) != NATS_OK) {
            break;
        }
        const char* id = nullptr;
        if (natsMsgHeader_Get(msg, "Nats-Msg-Id", &id) == NATS_OK &&
            std::strncmp(id, prefix.c_str(), prefix.size()) == 0) {
            found(ship, id);
        }
        jsMsgMetaData* meta = nullptr;
        uint64_t sequence = last;
        if (natsMsg_GetMetaData(&meta, msg) == NATS_OK) {
            sequence = meta->Sequence.Stream;
            jsMsgMetaData_Destroy(meta);
        }
        natsMsg_Destroy(msg);
        if (sequence >= last) {
            result = 1;
            break;
        }
    }
    natsSubscription_Unsubscribe(subscription);
    natsSubscription_Destroy(subscription);
    return result;
}

int ShipNatsPublish(const ShipConfig& config, const char* id, const unsigned char* record) {
    natsMsg* msg = nullptr;
    natsStatus status = natsMsg_Create(&msg, config.subject.c_str(), nullptr,
                                       reinterpret_cast<const char*>(record), SHIP_RECORD);
    if (status == NATS_OK) {
        status = natsMsgHeader_Set(msg, "Nats-Msg-Id", id);
    }
    if (status == NATS_OK) {
        status = natsMsgHeader_Set(msg, "Pelmor-Quelle", config.source.c_str());
    }
    if (status != NATS_OK) {
        natsMsg_Destroy(msg);
        return 0;
    }
    jsPubOptions options;
    jsPubOptions_Init(&options);
    options.MaxWait = SHIP_ACK_WAIT_MS;
    status = js_PublishMsgAsync(NatsJet, &msg, &options);
    natsMsg_Destroy(msg); // null when the library took it
    return status == NATS_OK;
}
