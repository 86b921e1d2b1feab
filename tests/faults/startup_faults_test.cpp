// Start-up refused: a port text that is no port, a runtime directory that
// others may write, an object file that others may write or that belongs to
// another user, a log that is the buffer file. The receiver says why and
// ends with exit code 0.
#include <cstdio>
#include <fstream>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "fault_support.h"
#include "protocol/names.h"

namespace {

using StartupFaults = FaultTest;

TEST_F(StartupFaults, NoPortNoObjectFileOthersMayWriteNoLogThatIsTheBufferFile) {
    for (const std::string text : {"abc", "0", "99999", "-1"}) {
        WriteIni("port.ini", {"UPLPORT = " + text, "LOGDATEI = PORT.LOG", "ERRLEVEL = 1"});
        EXPECT_EQ(ReceiverExit(StartReceiver({"port.ini"})), 0) << text;
        EXPECT_EQ(E2eCount(SupportReadFile(PathOf("PORT.LOG")),
                           "Fehler: UPLPORT \"" + text + "\" ist kein Port von 1 bis 65535!"),
                  1)
            << text;
    }

    ASSERT_EQ(mkdir(PathOf("shared").c_str(), 0700), 0);
    ASSERT_EQ(chmod(PathOf("shared").c_str(), 01777), 0);
    setenv("PELMOR_RUNTIME_DIR", PathOf("shared").c_str(), 1);
    EXPECT_EQ(ReceiverExit(StartReceiver({"pelmor.ini"})), 0);
    EXPECT_EQ(SupportReadFile(PathOf("pelmor.err")),
              "pelmor: Mutex PELMOR_MTX nicht erzeugt (Fehler 5)\n");

    // Restored from a backup with group or others allowed to write.
    ASSERT_EQ(chmod(PathOf("shared").c_str(), 0755), 0);
    const std::string planted = PathOf("shared/StopPelmorEvent");
    std::ofstream(planted) << "";
    for (const mode_t mode : {0666, 0620}) {
        ASSERT_EQ(chmod(planted.c_str(), mode), 0);
        EXPECT_EQ(ReceiverExit(StartReceiver({"pelmor.ini"})), 0);
        EXPECT_EQ(SupportReadFile(PathOf("pelmor.err")),
                  "pelmor: Ereignis StopPelmorEvent nicht erzeugt (Fehler 5)\n")
            << mode;
    }
    // Made by the receiver: for its user alone.
    ASSERT_EQ(std::remove(planted.c_str()), 0);
    Start();
    for (const char* name : {PELMOR_MUTEX_NAME, PELMOR_STOP_EVENT_NAME, PELMOR_START_EVENT_NAME,
                             PELMOR_COUNTERS_NAME}) {
        struct stat info {};
        ASSERT_EQ(stat(PathOf(std::string("shared/") + name).c_str(), &info), 0) << name;
        EXPECT_EQ(info.st_mode & 0777, 0600u) << name;
    }
    ASSERT_EQ(RunPelmorctl({"stop", "--timeout", "5"}).exitCode, 0);
    EXPECT_EQ(ReceiverExit(receiver), 0);

    // The log as the buffer file, named another way: said on stderr only, and
    // the records in it untouched.
    Start();
    Session(0, 1);
    ASSERT_EQ(RunPelmorctl({"stop", "--timeout", "5"}).exitCode, 0);
    EXPECT_EQ(ReceiverExit(receiver), 0);
    const std::string records = Buffer();
    WriteIni("same.ini",
             {"UPLPORT = " + std::to_string(port), "BUFFDATEI = PELMOR.BUF",
              "LOGDATEI = ./PELMOR.BUF", "MAXLOGSIZE = 1", "ERRLEVEL = 1000", "TIMEOUT = 1"});
    EXPECT_EQ(ReceiverExit(StartReceiver({"same.ini"})), 0);
    EXPECT_EQ(SupportReadFile(PathOf("pelmor.err")),
              "pelmor: Logdatei \"./PELMOR.BUF\" ist die Bufferdatei \"PELMOR.BUF\" oder deren "
              ".old\n");
    EXPECT_EQ(Buffer(), records);

    if (geteuid() != 0) {
        GTEST_SKIP() << "only root can give an object file to another user";
    }
    std::ofstream(planted) << "";
    ASSERT_EQ(chown(planted.c_str(), 65534, 65534), 0);
    EXPECT_EQ(ReceiverExit(StartReceiver({"pelmor.ini"})), 0);
    EXPECT_EQ(SupportReadFile(PathOf("pelmor.err")),
              "pelmor: Ereignis StopPelmorEvent nicht erzeugt (Fehler 5)\n");
}

} // namespace
