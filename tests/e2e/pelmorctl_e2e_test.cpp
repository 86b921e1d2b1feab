// pelmorctl against real receivers, named objects held by the test, and
// parameter files.
#include "e2e_support.h"

#include "platform/kernel_objects.h"
#include "protocol/names.h"

#include <fstream>
#include <utility>

#include <sys/stat.h>

namespace {

using E2ePelmorctl = E2eTest;

TEST_F(E2ePelmorctl, StatusStopAndWaitReadyWithoutReceiver) {
    ToolRun status = RunPelmorctl({"status"});
    EXPECT_EQ(status.exitCode, 3);
    EXPECT_EQ(status.out, "Empfaenger:       laeuft nicht\n"
                          "StopPelmorEvent:  nicht vorhanden\n"
                          "StartPelmorEvent: nicht vorhanden\n");
    ToolRun stop = RunPelmorctl({"stop"});
    EXPECT_EQ(stop.exitCode, 0);
    EXPECT_EQ(stop.out, "Kein Empfaenger laeuft.\n");
    ToolRun ready = RunPelmorctl({"wait-ready", "--timeout", "1"});
    EXPECT_EQ(ready.exitCode, 1);
    EXPECT_EQ(ready.err, "pelmorctl: Empfaenger nach 1 s nicht bereit\n");
}

TEST_F(E2ePelmorctl, UnusableNamespaceIsAnErrorNotAStoppedReceiver) {
    std::ofstream(PathOf("not-a-dir")) << "x";
    setenv("PELMOR_RUNTIME_DIR", PathOf("not-a-dir").c_str(), 1);
    ToolRun status = RunPelmorctl({"status"});
    EXPECT_EQ(status.exitCode, 1);
    EXPECT_EQ(status.err, "pelmorctl: Mutex PELMOR_MTX nicht pruefbar (Fehler 5)\n");
    EXPECT_EQ(RunPelmorctl({"stop"}).exitCode, 1);
    EXPECT_EQ(RunPelmorctl({"wait-ready", "--timeout", "0"}).exitCode, 1);
}

TEST_F(E2ePelmorctl, StatusShowsBothEventsAndTheCountersOfARunningReceiver) {
    pid_t receiver = StartReadyReceiver(LoopbackFreePort());
    ToolRun status = RunPelmorctl({"status"});
    EXPECT_EQ(status.exitCode, 0);
    const std::string events = "Empfaenger:       laeuft\n"
                               "StopPelmorEvent:  gesetzt\n"
                               "StartPelmorEvent: gesetzt\n";
    EXPECT_EQ(status.out.substr(0, events.size()), events);
    for (const std::string& line :
         {"Prozess-ID:       " + std::to_string(receiver) + "\n",
          std::string("Verbindungen:     0\n"), std::string("Letzter Satz:     keiner\n"),
          std::string("Verbunden mit:    niemand\n")}) {
        EXPECT_NE(status.out.find(line), std::string::npos) << line << status.out;
    }
    EXPECT_EQ(E2eCount(status.out, "\n"), 17) << "one figure a line";
    EXPECT_EQ(RunPelmorctl({"stop"}).exitCode, 0);
    EXPECT_EQ(ReceiverExit(receiver), 0);
}

TEST_F(E2ePelmorctl, StopTimesOutWhileTheMutexStaysHeldAndLeavesTheStopRequest) {
    HANDLE mutex = CreateMutexA(nullptr, TRUE, PELMOR_MUTEX_NAME);
    HANDLE stop = CreateEventA(nullptr, TRUE, TRUE, PELMOR_STOP_EVENT_NAME);
    ASSERT_NE(mutex, nullptr);
    ASSERT_NE(stop, nullptr);
    ToolRun run = RunPelmorctl({"stop", "--timeout", "1"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "pelmorctl: Empfaenger nach 1 s nicht beendet\n");
    EXPECT_EQ(WaitForSingleObject(stop, 0), WAIT_TIMEOUT) << "reset for the receiver to see";
    CloseHandle(stop);
    CloseHandle(mutex);
}

TEST_F(E2ePelmorctl, WrongCallsAndHelp) {
    ToolRun help = RunPelmorctl({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("Aufruf: pelmorctl [--instance NAME] BEFEHL"), std::string::npos);
    EXPECT_EQ(RunPelmorctl({"--version"}).out, "pelmorctl " PELMOR_VERSION "\n");
    for (const std::vector<std::string>& words : {std::vector<std::string>{},
                                                  {"start"},
                                                  {"stop", "--timeout"},
                                                  {"stop", "--timeout", "x"},
                                                  {"wait-ready", "--wait", "1"},
                                                  {"check"},
                                                  {"list", "a", "b"},
                                                  {"verify"},
                                                  {"verify", "a", "b"},
                                                  {"records"},
                                                  {"records", "a", "b"},
                                                  {"records", "a", "--from", "0"},
                                                  {"records", "a", "--count"},
                                                  {"records", "a", "--count", "-1"},
                                                  {"records", "a", "--json", "--csv"},
                                                  {"--version", "x"},
                                                  {"--instance"},
                                                  {"--instance", "a/b", "status"},
                                                  {"--instance", "a"}}) {
        ToolRun run = RunPelmorctl(words);
        EXPECT_EQ(run.exitCode, 2) << run.out;
        EXPECT_NE(run.err.find("Aufruf: pelmorctl [--instance NAME] status"), std::string::npos);
    }
}

TEST_F(E2ePelmorctl, CheckShowsWhatTheReceiverGets) {
    WriteStandardIni("good.ini", 6664);
    ToolRun good = RunPelmorctl({"check", "good.ini"});
    EXPECT_EQ(good.exitCode, 0);
    EXPECT_EQ(good.out, "Parameterdatei: good.ini\n"
                        "UPLPORT    = \"6664\" (Port 6664)   aus der Datei\n"
                        "BUFFDATEI  = \"PELMOR.BUF\"         aus der Datei\n"
                        "LOGDATEI   = \"PELMOR.LOG\"         aus der Datei\n"
                        "MAXLOGSIZE = 2000                 aus der Datei\n"
                        "ERRLEVEL   = 1000                 aus der Datei\n"
                        "TIMEOUT    = 3                    aus der Datei\n"
                        "SYNC       = FALSE                nicht in der Datei (darf fehlen); der "
                        "Empfaenger erhaelt FALSE\n"
                        "MAXBUFSIZE = 0                    nicht in der Datei (darf fehlen); der "
                        "Empfaenger erhaelt 0\n"
                        "Alle noetigen Einstellungen aus der Datei.\n");

    WriteIni("gaps.ini", {"UPLPORT = 6664", "LOGDATEI = PELMOR.LOG", "MAXLOGSIZE = 2000",
                          "ERRLEVEL = 1000", "TIMEOUT = 1001", "SYNC = ja"});
    ToolRun gaps = RunPelmorctl({"check", "gaps.ini"});
    EXPECT_EQ(gaps.exitCode, 1);
    EXPECT_NE(gaps.out.find("BUFFDATEI  = \"\"                   FEHLT in der Datei; der "
                            "Empfaenger erhaelt den leeren Text\n"),
              std::string::npos)
        << gaps.out;
    EXPECT_NE(gaps.out.find("TIMEOUT    = 0                    UNGUELTIG: \"1001\" (erlaubt: "
                            "Wert 0 bis 1000); der Empfaenger erhaelt 0\n"),
              std::string::npos)
        << gaps.out;
    EXPECT_NE(gaps.out.find("SYNC       = FALSE                UNGUELTIG: \"ja\" (erlaubt: TRUE "
                            "oder FALSE); der Empfaenger erhaelt FALSE\n"),
              std::string::npos)
        << gaps.out;
    EXPECT_NE(gaps.out.find("3 von 7 Einstellungen nicht aus der Datei.\n"), std::string::npos);

    for (const std::string text : {"abc", "0", "99999", "-1"}) {
        WriteIni("port.ini", {"UPLPORT = " + text, "BUFFDATEI = B", "LOGDATEI = L",
                              "MAXLOGSIZE = 1", "ERRLEVEL = 1", "TIMEOUT = 1"});
        ToolRun port = RunPelmorctl({"check", "port.ini"});
        EXPECT_EQ(port.exitCode, 1) << text;
        EXPECT_NE(port.out.find(" UNGUELTIG: \"" + text +
                                "\" (erlaubt: Port 1 bis 65535); der Empfaenger startet nicht\n"),
                  std::string::npos)
            << port.out;
    }

    // The log as the buffer file, under another spelling, or as its older
    // generation: the receiver would not start.
    for (const auto& names :
         {std::pair<std::string, std::string>{"./PELMOR.BUF", "PELMOR.BUF"}, {"L", "L.old"}}) {
        WriteIni("same.ini",
                 {"UPLPORT = 6664", "BUFFDATEI = " + names.second, "LOGDATEI = " + names.first,
                  "MAXLOGSIZE = 1", "ERRLEVEL = 1", "TIMEOUT = 1", "MAXBUFSIZE = 2048"});
        ToolRun same = RunPelmorctl({"check", "same.ini"});
        EXPECT_EQ(same.exitCode, 1) << names.first;
        EXPECT_NE(same.out.find("MAXBUFSIZE = 2048                 aus der Datei\n"
                                "LOGDATEI \"" +
                                names.first + "\" ist die Bufferdatei \"" + names.second +
                                "\" oder deren .old; der Empfaenger startet nicht.\n"),
                  std::string::npos)
            << same.out;
    }
}

TEST_F(E2ePelmorctl, CheckNamesReadErrorsAndSwallowingLineComments) {
    // The second comment is read twice, once by the look-ahead after a value.
    std::ofstream(PathOf("lf.ini"), std::ios::binary)
        << "KEYINI\r\n// Port\nUPLPORT = 1\r\n[PELMOR]\r\nUPLPORT = 6664 //x\nTIMEOUT = 1\r\n";
    ToolRun lf = RunPelmorctl({"check", "lf.ini"});
    EXPECT_EQ(lf.exitCode, 1) << "five keys are missing";
    EXPECT_NE(lf.out.find("Warnung: Zeilenkommentar in Zeile 2 laeuft ueber ein Zeilenende ohne "
                          "CR hinaus und verschluckt die Zeilen bis Zeile 3\n"
                          "Warnung: Zeilenkommentar in Zeile 5 laeuft ueber ein Zeilenende ohne "
                          "CR hinaus und verschluckt die Zeilen bis Zeile 6\n"),
              std::string::npos)
        << lf.out;
    EXPECT_EQ(E2eCount(lf.out, "Warnung"), 2);
    EXPECT_NE(lf.out.find("UPLPORT    = \"6664\""), std::string::npos);

    std::ofstream(PathOf("open.ini"), std::ios::binary) << "KEYINI\r\n[PELMOR] // offen\n";
    EXPECT_NE(RunPelmorctl({"check", "open.ini"})
                  .out.find("Warnung: Zeilenkommentar in Zeile 2 laeuft ueber ein Zeilenende ohne "
                            "CR hinaus und verschluckt die Zeilen bis zum Dateiende\n"),
              std::string::npos);
    std::ofstream(PathOf("fine.ini"), std::ios::binary)
        << "KEYINI\r\n//note\r\n/* a // b\n*/ [PELMOR]\r\n";
    EXPECT_EQ(RunPelmorctl({"check", "fine.ini"}).out.find("Warnung"), std::string::npos);

    std::ofstream(PathOf("header.ini"), std::ios::binary) << "\r\n\r\nINIKEY\r\n";
    ToolRun header = RunPelmorctl({"check", "header.ini"});
    EXPECT_EQ(header.exitCode, 1);
    EXPECT_NE(header.out.find("Fehler -20 in Zeile 3: Datei beginnt nicht mit KEYINI\n"),
              std::string::npos)
        << header.out;
    // Refused at once, as the receiver refuses them: nothing waits on a FIFO
    // or reads a device or a folder.
    ASSERT_EQ(mkfifo(PathOf("fifo.ini").c_str(), 0644), 0);
    ASSERT_EQ(mkdir(PathOf("folder.ini").c_str(), 0755), 0);
    for (const std::string path : {"nirgends.ini", "fifo.ini", "folder.ini", "/dev/zero"}) {
        ToolRun refused = RunPelmorctl({"check", path});
        EXPECT_EQ(refused.exitCode, 1) << path;
        EXPECT_NE(refused.out.find("Fehler -2: Datei kann nicht geoeffnet werden\n"),
                  std::string::npos)
            << path << refused.out;
    }
}

TEST_F(E2ePelmorctl, ListShowsTheReceiversTable) {
    WriteStandardIni("good.ini", 6664);
    ToolRun list = RunPelmorctl({"list", "good.ini"});
    EXPECT_EQ(list.exitCode, 0);
    EXPECT_EQ(E2eCount(list.out, "Parameter-Token: "), 8);
    EXPECT_NE(list.out.find("Parameter-Token: UPLPORT\r\n"), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("Inhalt_________: 6664\r\n"), std::string::npos);
    EXPECT_NE(list.out.find("Kommentar______: max. Logdateigroesse\r\n"), std::string::npos);

    std::ofstream(PathOf("bad.ini"), std::ios::binary) << "KEYINI\r\n[PELMOR]\r\nPORT = 1\r\n";
    ToolRun bad = RunPelmorctl({"list", "bad.ini"});
    EXPECT_EQ(bad.exitCode, 1);
    EXPECT_NE(bad.out.find("Fehler -31 in Zeile 3: unbekannter Schluessel\n"), std::string::npos)
        << bad.out;
}

} // namespace
