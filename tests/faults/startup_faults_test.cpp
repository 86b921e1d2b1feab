// Start-up refused: a port text that is no port, a runtime directory that
// others may write, an object file of another user. The receiver says why
// and ends with exit code 0.
#include <fstream>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "fault_support.h"

namespace {

using StartupFaults = FaultTest;

TEST_F(StartupFaults, NoPortNoRuntimeDirectoryOfOthersNoObjectFileOfAnotherUser) {
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

    if (geteuid() != 0) {
        GTEST_SKIP() << "only root can give an object file to another user";
    }
    ASSERT_EQ(chmod(PathOf("shared").c_str(), 0700), 0);
    const std::string planted = PathOf("shared/StopPelmorEvent");
    std::ofstream(planted) << "";
    ASSERT_EQ(chown(planted.c_str(), 65534, 65534), 0);
    EXPECT_EQ(ReceiverExit(StartReceiver({"pelmor.ini"})), 0);
    EXPECT_EQ(SupportReadFile(PathOf("pelmor.err")),
              "pelmor: Ereignis StopPelmorEvent nicht erzeugt (Fehler 5)\n");
}

} // namespace
