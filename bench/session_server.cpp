// The servers the receiver is measured against, serving connections one
// after another until the process is killed; each prints "PORT <n>" once it
// listens.
//   pingpong      reads a message and answers "1", no file: what the loopback
//                 costs alone (the same library calls as the receiver).
//   records FILE  the bare server doing the receiver's work by hand: per
//                 message one recv, one write(2) of the 552-byte record to
//                 FILE (opened per connection, as a session opens the buffer
//                 file), one send of "1".
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
#include "receiver/record_layout.h"

namespace {

constexpr int32_t BENCH_READ_TIMEOUT = 30;
// "$", IP text, port, time stamp and counter before the message column.
constexpr std::size_t BENCH_HEADER_LENGTH = RECORD_MESSAGE_AT;

void BenchPingPong(NevtarSocket connection) {
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
    char record[PELMOR_DISK_RECORD_LENGTH];
    std::memset(record, '0', BENCH_HEADER_LENGTH);
    record[0] = '$';
    record[PELMOR_DISK_RECORD_LENGTH - 2] = '\r';
    record[PELMOR_DISK_RECORD_LENGTH - 1] = '\n';
    char message[PELMOR_MESSAGE_MAX];
    for (;;) {
        const ssize_t received = recv(connection, message, sizeof message, 0);
        if (received <= 0 || message[0] == 'X') {
            break;
        }
        const std::size_t length = strnlen(message, static_cast<std::size_t>(received));
        std::memcpy(record + BENCH_HEADER_LENGTH, message, length);
        std::memset(record + BENCH_HEADER_LENGTH + length, ' ', PELMOR_MESSAGE_MAX - length);
        if (write(file, record, sizeof record) != static_cast<ssize_t>(sizeof record) ||
            (checkName && !BenchNameLeadsTo(fileName, opened)) ||
            send(connection, "1", 1, MSG_NOSIGNAL) != 1) {
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
