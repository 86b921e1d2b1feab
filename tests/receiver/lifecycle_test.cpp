// Start-up, connection loop, shutdown and entry of the receiver against the
// scripted library: every step and every log entry of every exit path.
#include "fake_nevtar.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include "platform/kernel_objects.h"
#include "platform/process_entry.h"
#include "lifecycle.h"
#include "protocol/names.h"
#include "control/receiver_control.h"
#include "receiver/settings.h"
#include "support/files.h"

namespace {

using Entries = std::vector<std::string>;

// The table as the program starts with it; every test starts from it again.
ParameterDescriptor pristineSettings[PELMOR_SETTINGS_COUNT];
const bool pristineSaved =
    (std::memcpy(pristineSettings, PelmorSettings, sizeof PelmorSettings), true);

class Lifecycle : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pristineSaved);
        std::memcpy(PelmorSettings, pristineSettings, sizeof PelmorSettings);
        fakeNevtar = FakeNevtar();
        dir = SupportMakeFolder();
        ASSERT_FALSE(dir.empty());
        setenv("PELMOR_RUNTIME_DIR", dir.c_str(), 1);
        // Relative files in the test's own folder: tests run in parallel, and
        // a receiver holds its buffer file's lock.
        home = std::filesystem::current_path();
        std::filesystem::current_path(dir);
        ini = dir + "/pelmor.ini";
        WriteIni("UPLPORT = 6664\r\nBUFFDATEI = B.BUF\r\nLOGDATEI = L.LOG\r\n"
                 "MAXLOGSIZE = 20\r\nERRLEVEL = 7\r\nTIMEOUT = 3\r\n");
    }
    void TearDown() override {
        // Whatever a failed start-up left open.
        HANDLE stop = PelmorStopEvent.exchange(nullptr);
        if (stop != nullptr) {
            CloseHandle(stop);
        }
        if (PelmorStartEvent != nullptr) {
            CloseHandle(PelmorStartEvent);
            PelmorStartEvent = nullptr;
        }
        if (!home.empty()) {
            std::filesystem::current_path(home);
        }
        SupportRemoveFolder(dir);
        unsetenv("PELMOR_RUNTIME_DIR");
    }
    void WriteIni(const std::string& keyLines) const {
        std::ofstream(ini, std::ios::binary) << "KEYINI\r\n[PELMOR]\r\n" << keyLines;
    }
    int Signalled(const char* name) const { return ReceiverEventState(name); }

    std::string dir;
    std::string ini;
    std::filesystem::path home;
    ReceiverContext context{};
};

TEST_F(Lifecycle, StartUpTakesTheSettingsAndAnnouncesItself) {
    ASSERT_EQ(PelmorInit(ini.c_str(), &context), 1);
    EXPECT_STREQ(context.portText, "6664");
    EXPECT_EQ(context.port, 6664);
    EXPECT_STREQ(context.bufferFileName, "B.BUF");
    EXPECT_STREQ(context.logFileName, "L.LOG");
    EXPECT_EQ(context.maxLogSize, 20);
    EXPECT_EQ(context.logLevel, 7);
    EXPECT_EQ(context.timeout, 3);
    EXPECT_EQ(fakeNevtar.logFileName, "L.LOG");
    EXPECT_EQ(fakeNevtar.logLevel, 7);
    EXPECT_EQ(fakeNevtar.maxLogSize, 20);
    EXPECT_EQ(fakeNevtar.serverInitPort, 6664);
    EXPECT_TRUE(fakeNevtar.calls.empty());
    EXPECT_STREQ(context.localIP, "010.001.002.003");
    EXPECT_EQ(Signalled(PELMOR_STOP_EVENT_NAME), 1);
    EXPECT_EQ(Signalled(PELMOR_START_EVENT_NAME), 1);
    EXPECT_TRUE(fakeNevtar.log.empty());
}

TEST_F(Lifecycle, AbsentOrInvalidKeysGiveEmptyTextOrZeroNotTheDefaults) {
    WriteIni("LOGDATEI = L.LOG\r\nTIMEOUT = 1001\r\nMAXLOGSIZE = 10000\r\n");
    EXPECT_EQ(PelmorInit(ini.c_str(), &context), 0) << "no port to listen on";
    EXPECT_STREQ(context.portText, "");
    EXPECT_EQ(fakeNevtar.serverInitPort, -1) << "port 0 would be one the system picks";
    EXPECT_EQ(fakeNevtar.log,
              Entries{"PelmorInit()|1|0|0|Fehler: UPLPORT \"\" ist kein Port von 1 bis 65535!|"});
    EXPECT_STREQ(context.bufferFileName, "");
    EXPECT_EQ(context.timeout, 0);
    EXPECT_EQ(context.logLevel, 0);
    EXPECT_EQ(context.maxLogSize, 10000);
}

TEST_F(Lifecycle, StartUpFailuresBeforeTheLogLeaveNoEntry) {
    std::string missing = dir + "/missing.ini";
    EXPECT_EQ(PelmorInit(missing.c_str(), &context), 0);
    EXPECT_EQ(fakeNevtar.logLevel, -1) << "log not started";
    EXPECT_EQ(PelmorInit("", &context), 0) << "D:\\COMM\\NEVTAR.INI";

    fakeNevtar.logInitResult = 0;
    EXPECT_EQ(PelmorInit(ini.c_str(), &context), 0);
    EXPECT_EQ(fakeNevtar.serverInitPort, -1) << "no socket after a failed log";
    EXPECT_TRUE(fakeNevtar.log.empty());
    EXPECT_EQ(Signalled(PELMOR_STOP_EVENT_NAME), -1);
}

TEST_F(Lifecycle, FailedListeningSocketIsLoggedWithTheLibrarysText) {
    fakeNevtar.serverInitResult = -7;
    EXPECT_EQ(PelmorInit(ini.c_str(), &context), 0);
    EXPECT_EQ(fakeNevtar.log,
              Entries{"PelmorInit()|1|-7|99|Fehler: Fkt. CSocketServerInit()!|fake error"});
    EXPECT_EQ(Signalled(PELMOR_STOP_EVENT_NAME), -1) << "no events";
}

TEST_F(Lifecycle, FailedLocalAddressIsLoggedAndStartUpGoesOn) {
    fakeNevtar.localIpResult = -6;
    EXPECT_EQ(PelmorInit(ini.c_str(), &context), 1);
    EXPECT_EQ(fakeNevtar.log,
              Entries{"PelmorInit()|1|-6|99|Fehler: Fkt. CGetLocalIPString()!|fake error"});
    EXPECT_STREQ(context.localIP, "") << "not formatted";
    EXPECT_EQ(Signalled(PELMOR_START_EVENT_NAME), 1);
}

TEST_F(Lifecycle, ExistingStopEventKeepsItsState) {
    HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, PELMOR_STOP_EVENT_NAME);
    ASSERT_EQ(PelmorInit(ini.c_str(), &context), 1);
    EXPECT_EQ(PelmorWork(&context), 1);
    EXPECT_TRUE(fakeNevtar.calls.empty()) << "nothing accepted";
    EXPECT_EQ(PelmorExit(&context), 1);
    EXPECT_EQ(WaitForSingleObject(stop, 0), WAIT_OBJECT_0) << "signalled for the next start";
    CloseHandle(stop);
}

TEST_F(Lifecycle, LoopServesSessionsAndLogsEachFailure) {
    ASSERT_EQ(PelmorInit(ini.c_str(), &context), 1);
    fakeNevtar.calls.clear();
    fakeNevtar.accepts = {{0, 0}, {-2, 0}, {0, 0}};
    fakeNevtar.sessionResults = {0, 1};
    fakeNevtar.connectionCloseResult = -3;
    EXPECT_EQ(PelmorWork(&context), 1);
    EXPECT_EQ(fakeNevtar.calls,
              (Entries{"accept 40 20", "session 41", "close 41", "accept 40 20", "accept 40 20",
                       "session 41", "close 41", "accept 40 20"}));
    EXPECT_EQ(fakeNevtar.log,
              (Entries{"PelmorWork()|1|0|0|Fehler: Funktion RcvConSession()!|",
                       "PelmorWork()|1|-3|0|Fehler: CSocketClose! ErrorCode: -3|",
                       "PelmorWork()|1|-3|0|Fehler: CSocketClose! ErrorCode: -3|"}));
}

TEST_F(Lifecycle, AcceptFailureWithAPendingErrorEndsTheLoop) {
    ASSERT_EQ(PelmorInit(ini.c_str(), &context), 1);
    fakeNevtar.accepts = {{-4, 1}};
    EXPECT_EQ(PelmorWork(&context), 0);
    EXPECT_EQ(fakeNevtar.log,
              Entries{"PelmorWork()|1|-4|0|Fehler: CSocketServerOpen! ErrCode: -4|"});
    EXPECT_EQ(Signalled(PELMOR_STOP_EVENT_NAME), 1) << "set again before the accept";
}

TEST_F(Lifecycle, ShutdownLogsFailuresGoesOnAndSetsTheStopEvent) {
    ASSERT_EQ(PelmorInit(ini.c_str(), &context), 1);
    HANDLE stop = OpenEventA(EVENT_ALL_ACCESS, FALSE, PELMOR_STOP_EVENT_NAME);
    HANDLE start = OpenEventA(EVENT_ALL_ACCESS, FALSE, PELMOR_START_EVENT_NAME);
    ResetEvent(stop);
    fakeNevtar.calls.clear();
    fakeNevtar.listenCloseResult = -5;
    fakeNevtar.cleanupResult = -9;
    EXPECT_EQ(PelmorExit(&context), 1);
    EXPECT_EQ(fakeNevtar.calls, (Entries{"close 40", "cleanup"}));
    EXPECT_EQ(fakeNevtar.log,
              (Entries{"PelmorExit()|1|-5|0|Fehler: CSocketClose! ErrorCode: -5|",
                       "PelmorExit()|100|0|0|Fehler: CSocketCleanup! ErrorCode: -9|"}));
    EXPECT_EQ(WaitForSingleObject(stop, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(start, 0), WAIT_OBJECT_0) << "not reset";
    EXPECT_EQ(PelmorStopEvent.load(), nullptr);
    CloseHandle(start);
    CloseHandle(stop);
    EXPECT_EQ(Signalled(PELMOR_STOP_EVENT_NAME), -1) << "the receiver holds no handle any more";
}

TEST_F(Lifecycle, EntryLogsAFailedLoopAndShutsDown) {
    fakeNevtar.accepts = {{-4, 1}};
    char commandLine[4096];
    std::snprintf(commandLine, sizeof commandLine, "%s", ini.c_str());
    EXPECT_EQ(WinMain(nullptr, nullptr, commandLine, SW_SHOWDEFAULT), 0);
    EXPECT_EQ(fakeNevtar.log,
              (Entries{"PelmorWork()|1|-4|0|Fehler: CSocketServerOpen! ErrCode: -4|",
                       "WinMain()|1|0|0|Fehler: Funktion PelmorWork()!|"}));
    EXPECT_EQ(fakeNevtar.calls.back(), "cleanup");
    HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, PELMOR_MUTEX_NAME);
    EXPECT_EQ(mutex, nullptr) << "released";
}

TEST_F(Lifecycle, SecondCopyEndsWithoutStartingAnything) {
    HANDLE mutex = CreateMutexA(nullptr, TRUE, PELMOR_MUTEX_NAME);
    char commandLine[4096];
    std::snprintf(commandLine, sizeof commandLine, "%s", ini.c_str());
    EXPECT_EQ(WinMain(nullptr, nullptr, commandLine, SW_SHOWDEFAULT), 0);
    EXPECT_EQ(fakeNevtar.logLevel, -1);
    EXPECT_TRUE(fakeNevtar.log.empty());
    CloseHandle(mutex);
}

// The request is remembered for the rest of the process, so each case runs in
// a child; 0 when it went as it should.
class StopRequest : public Lifecycle {
  protected:
    int BeforeTheEventExists() {
        PelmorCtrlHandler(0);
        int ready = PelmorInit(ini.c_str(), &context);
        return ready == 1 && Signalled(PELMOR_STOP_EVENT_NAME) == 0 ? 0 : 1;
    }
    int UndoneByTheLoopsSet() {
        PelmorInit(ini.c_str(), &context);
        fakeNevtar.calls.clear();
        PelmorCtrlHandler(0);
        SetEvent(PelmorStopEvent); // as the loop's set right after its test would
        fakeNevtar.accepts = {{-1, 0}};
        int once = PelmorWork(&context) == 1 && fakeNevtar.calls.size() == 1;
        return once && Signalled(PELMOR_STOP_EVENT_NAME) == 0 ? 0 : 1;
    }
};

TEST_F(StopRequest, BeforeTheEventExistsIsKept) {
    EXPECT_EXIT(std::_Exit(BeforeTheEventExists()), ::testing::ExitedWithCode(0), "");
}

TEST_F(StopRequest, SetByTheLoopRightAfterItIsKept) {
    EXPECT_EXIT(std::_Exit(UndoneByTheLoopsSet()), ::testing::ExitedWithCode(0), "");
}

} // namespace
