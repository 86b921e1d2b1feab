// The shipper's core against a scripted stream: no server, every outcome
// decided by the test, so the window, the hand-off copy and the retries are
// checked record by record.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "pelmor-ship/ship_core.h"
#include "ship_support.h"
#include "support/files.h"

namespace {

// The stream: what is stored (a sequence is its index + 1) and what waits
// for its outcome. Like the real one it stores an id once.
struct ScriptedStream {
    std::vector<std::string> stored;
    std::vector<std::string> published; // every hand-over, copies too
    std::vector<std::string> pending;
    bool refuse = false; // hand-overs fail, as with NATS gone
};
ScriptedStream Script;

int ScriptPublish(const ShipConfig&, const char* id, const unsigned char*) {
    if (Script.refuse) {
        return 0;
    }
    Script.published.emplace_back(id);
    Script.pending.emplace_back(id);
    return 1;
}
int ScriptScan(const ShipConfig&, uint64_t floor, uint64_t last, const std::string& prefix,
               ShipContext* ship, void (*found)(ShipContext*, const char*)) {
    for (uint64_t sequence = floor + 1; sequence <= last; ++sequence) {
        if (Script.stored[sequence - 1].rfind(prefix, 0) == 0) {
            found(ship, Script.stored[sequence - 1].c_str());
        }
    }
    return 1;
}

class ShipCoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Script = ScriptedStream{};
        dir = SupportMakeFolder();
    }
    void TearDown() override {
        Close();
        SupportRemoveFolder(dir);
    }
    // A shipper over the folder's buffer file, its state loaded.
    bool Start(int32_t window, int64_t handoffRecords) {
        Close();
        ShipConfig config{};
        config.bufferFile = dir + "/PELMOR.BUF";
        config.source = "t";
        config.window = window;
        config.handoffBytes = handoffRecords * SHIP_RECORD;
        ship = std::make_unique<ShipContext>();
        const auto last = [](const ShipConfig&, uint64_t* at, std::string*) {
            *at = Script.stored.size();
            return 1;
        };
        ShipCoreInit(ship.get(), config,
                     {ScriptPublish, last, ScriptScan, [] { return true; }, [] { return false; }});
        bool scanned = false;
        std::string error;
        return ShipCoreLoadState(ship.get()) && ShipCorePrepare(ship.get(), &scanned, &error);
    }
    void Close() {
        if (ship && ship->read.fd >= 0) {
            close(ship->read.fd);
            ship->read.fd = -1;
        }
    }
    void Append(int count) {
        for (int i = 0; i < count; ++i) {
            ShipAppend(dir + "/PELMOR.BUF", ShipRecord("m" + std::to_string(i), i + 1));
        }
    }
    // Stores every hand-over (a copy of a stored id keeps its sequence) and
    // answers it, or loses the answer; then the position moves.
    void Answer(bool lostAnswer = false) {
        std::vector<std::string> waiting;
        waiting.swap(Script.pending);
        for (const std::string& id : waiting) {
            const auto at =
                std::find(Script.stored.begin(), Script.stored.end(), id) - Script.stored.begin();
            if (at == static_cast<std::ptrdiff_t>(Script.stored.size())) {
                Script.stored.push_back(id);
            }
            ShipCoreOutcome(ship.get(), id.c_str(), !lostAnswer, at + 1, "keine Antwort");
        }
        ShipCoreAdvance(ship.get());
    }
    std::string Id(int64_t generation, int64_t index) const {
        return "t:" + std::string(ship->state.instance) + ":" + std::to_string(generation) + ":" +
               std::to_string(index);
    }
    // What the state file holds: GENERATION:POSITION.
    std::string Saved() const {
        ShipState state{};
        std::string error;
        EXPECT_EQ(ShipStateLoad(dir + "/PELMOR.BUF.versand", &state, &error), 1) << error;
        return std::to_string(state.generation) + ":" + std::to_string(state.position);
    }

    std::string dir;
    std::unique_ptr<ShipContext> ship;
};

// The receiver writes the record that meets the rename into the new live
// file again: the copy keeps its id, and the stream holds it once.
TEST_F(ShipCoreTest, HandOffCopyKeepsItsId) {
    Append(3);
    ASSERT_TRUE(Start(8, 2));
    ShipCoreFillWindow(ship.get()); // three records, then the file renamed
    ASSERT_EQ(SupportReadFile(dir + "/PELMOR.BUF.0000000001").size(), 3u * SHIP_RECORD);
    const std::string renamed = SupportReadFile(dir + "/PELMOR.BUF.0000000001");
    ShipAppend(dir + "/PELMOR.BUF", renamed.substr(2 * SHIP_RECORD) + ShipRecord("m3", 3));
    ShipCoreFillWindow(ship.get());
    Answer();
    EXPECT_EQ(Script.published,
              (std::vector<std::string>{Id(1, 0), Id(1, 1), Id(1, 2), Id(1, 2), Id(2, 1)}));
    EXPECT_EQ(Script.stored, (std::vector<std::string>{Id(1, 0), Id(1, 1), Id(1, 2), Id(2, 1)}));
    ShipCoreSave(ship.get());
    // The new live file was handed off as well: both carried, both removed.
    EXPECT_EQ(Saved(), "3:0");
    EXPECT_TRUE(ShipLeftovers(dir).empty());
}

// Never more than FENSTER in flight; the position never passes the lowest
// record not yet acknowledged, on the disk neither.
TEST_F(ShipCoreTest, WindowHoldsAtItsFloor) {
    Append(10);
    ASSERT_TRUE(Start(4, 1000));
    ShipCoreFillWindow(ship.get());
    ASSERT_EQ(Script.pending.size(), 4u);
    const std::string first = Script.pending.front();
    Script.pending.erase(Script.pending.begin());
    Answer(); // the three after the first
    ShipCoreFillWindow(ship.get());
    EXPECT_TRUE(Script.pending.empty()); // the first still holds the window
    ShipCoreSave(ship.get());
    EXPECT_EQ(Saved(), "1:0");
    Script.pending = {first};
    Answer();
    EXPECT_EQ(ship->state.position, 4);
    ShipCoreFillWindow(ship.get());
    EXPECT_EQ(Script.pending.size(), 4u);
}

// NATS gone (hand-overs fail), then an answer lost for a stored record:
// retried with the same ids until stored, nothing skipped, none twice.
TEST_F(ShipCoreTest, OutageRetriesWithoutGapOrCopy) {
    Append(6);
    ASSERT_TRUE(Start(4, 1000));
    Script.refuse = true;
    ShipCoreFillWindow(ship.get());
    EXPECT_TRUE(Script.published.empty());
    Script.refuse = false;
    ShipCoreRetryFailed(ship.get());
    Answer(true); // stored, but the answers are lost
    EXPECT_EQ(ship->state.position, 0);
    ShipCoreRetryFailed(ship.get());
    Answer();
    ShipCoreFillWindow(ship.get());
    Answer();
    EXPECT_EQ(ship->state.position, 6);
    EXPECT_EQ(Script.stored, (std::vector<std::string>{Id(1, 0), Id(1, 1), Id(1, 2), Id(1, 3),
                                                       Id(1, 4), Id(1, 5)}));
}

// Records stored by a run that ended before their answers came are found in
// the stream at the next start and not published again.
TEST_F(ShipCoreTest, StreamHoldingIdsIsSkippedOnResume) {
    Append(6);
    ASSERT_TRUE(Start(4, 1000));
    ShipCoreFillWindow(ship.get());
    for (const std::string& id : Script.pending) {
        Script.stored.push_back(id); // stored; the shipper never heard
    }
    Script.pending.clear();
    ASSERT_TRUE(Start(4, 1000));
    Script.published.clear();
    ShipCoreFillWindow(ship.get()); // the four found fill the window
    ShipCoreAdvance(ship.get());
    ShipCoreFillWindow(ship.get());
    EXPECT_EQ(Script.published, (std::vector<std::string>{Id(1, 4), Id(1, 5)}));
    Answer();
    EXPECT_EQ(ship->state.position, 6);
    EXPECT_EQ(Script.stored.size(), 6u);
}

// A state file that is damaged or cannot be true: the core does not start.
TEST_F(ShipCoreTest, DamagedStateIsRefused) {
    Append(3);
    ASSERT_TRUE(Start(4, 1000));
    Close();
    const std::string path = dir + "/PELMOR.BUF.versand";
    const std::string good = SupportReadFile(path);
    for (const auto& [key, value] :
         std::vector<std::pair<std::string, std::string>>{{"position", "-1"},
                                                          {"position", "99"},
                                                          {"generation", "1x"},
                                                          {"instance", "kurz"},
                                                          {"floor", ""}}) {
        std::ofstream(path, std::ios::trunc) << good;
        ShipEditState(path, {{key, value}});
        EXPECT_FALSE(Start(4, 1000)) << key << " " << value;
    }
    std::ofstream(path, std::ios::trunc) << "irgendwas\n";
    EXPECT_FALSE(Start(4, 1000));
}

} // namespace
