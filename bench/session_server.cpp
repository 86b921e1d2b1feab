// The servers the receiver is measured against, serving connections one
// after another until the process is killed; each prints "PORT <n>" once it
// listens.
//   pingpong      reads a message and answers "1", no file: what the loopback
//                 costs alone (the same library calls as the receiver).
//   records FILE  the bare server doing the receiver's work by hand: per
//                 message one recv, the 552-byte record by the record
//                 encoder, one write(2) of it to FILE (opened per
//                 connection, as a session opens the buffer file), one send
//                 of "1".
//   checked FILE  the same, and before each "1" a stat(2) of FILE to see
//                 that the name still leads to the file written, as the
//                 receiver checks it where the system cannot report a move
//                 of the name.
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "commlib/nevtar.h"
#include "protocol/record.h"
#include "protocol/wire.h"

namespace {

constexpr int32_t BENCH_READ_TIMEOUT = 30;

void BenchPingPong(NevtarSocket connection) {
    char message[PELMOR_MESSAGE_MAX + 1];
    for (;;) {
        int32_t count = 0;
        if (CSocketRead(connection, message, PELMOR_MESSAGE_MAX, &count, BENCH_READ_TIMEOUT) != 0 ||
            count == 0 || message[0] == PELMOR_SESSION_END) {
            return;
        }
        if (CSocketWrite(connection, &PELMOR_ACK_STORED, 1, &count) != 0) {
            return;
        }
    }
}

// Whether fileName still leads to the file open as file.
bool BenchNameLeadsTo(const char* fileName, const struct stat& opened) {
    struct stat named {};
    return stat(fileName, &named) == 0 && named.st_dev == opened.st_dev &&
           named.st_ino == opened.st_ino;
}

void BenchRecords(int connection, const char* fileName, bool checkName) {
    const int file = open(fileName, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    struct stat opened {};
    if (file < 0 || fstat(file, &opened) != 0) {
        if (file >= 0) {
            close(file);
        }
        return;
    }
    // The receiver's columns, with a fixed address and stamp: the clock is
    // not the bare server's work.
    char prefix[RECORD_STAMP_AT];
    RecordEncodePrefix("127.000.000.001", 0, prefix);
    char record[PELMOR_DISK_RECORD_LENGTH + 1];
    char message[PELMOR_MESSAGE_MAX + 1];
    uint32_t counter = 0;
    for (;;) {
        const ssize_t received = recv(connection, message, PELMOR_MESSAGE_MAX, 0);
        if (received <= 0 || message[0] == PELMOR_SESSION_END) {
            break;
        }
        message[received] = '\0';
        counter = counter < RECORD_COUNTER_MAX ? counter + 1 : 0;
        RecordEncode(prefix, RECORD_ZERO_STAMP, counter, message, record);
        if (write(file, record, PELMOR_DISK_RECORD_LENGTH) != PELMOR_DISK_RECORD_LENGTH ||
            (checkName && !BenchNameLeadsTo(fileName, opened)) ||
            send(connection, &PELMOR_ACK_STORED, 1, MSG_NOSIGNAL) != 1) {
            break;
        }
    }
    close(file);
}

int BenchUsage() {
    std::fputs("Aufruf: pelmor-bench-server pingpong\n"
               "        pelmor-bench-server records DATEI\n"
               "        pelmor-bench-server checked DATEI\n"
               "Lauscht auf einem freien Port, gibt \"PORT <n>\" aus und bedient\n"
               "Verbindungen, bis der Prozess beendet wird: pingpong antwortet \"1\" ohne\n"
               "Datei, records schreibt je Nachricht einen Satz von 552 Bytes in DATEI,\n"
               "checked prueft dazu vor jeder Quittung, ob DATEI noch die beschriebene ist.\n",
               stderr);
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    const bool pingPong = argc == 2 && std::strcmp(argv[1], "pingpong") == 0;
    const bool checked = argc == 3 && std::strcmp(argv[1], "checked") == 0;
    const bool records = checked || (argc == 3 && std::strcmp(argv[1], "records") == 0);
    if (!pingPong && !records) {
        return BenchUsage();
    }
    NevtarSocket listener = -1;
    int32_t port = 0;
    if (CSocketServerInit(&listener, 0, &port) != 0) {
        std::fputs("pelmor-bench-server: kein Port\n", stderr);
        return 1;
    }
    std::printf("PORT %ld\n", static_cast<long>(port));
    std::fflush(stdout);

    for (;;) {
        NevtarSocket connection = -1;
        if (CSocketServerOpen(listener, &connection, nullptr, 20) != 0) {
            continue;
        }
        if (records) {
            BenchRecords(connection, argv[2], checked);
        } else {
            BenchPingPong(connection);
        }
        CSocketClose(connection);
    }
}
