// Departures: the table, the grid and the counts close up so that slots, tags
// and rows stay dense, in whatever order users leave.
#include <gtest/gtest.h>

#include <vector>

#include "tests/engine/engine_fixture.h"

namespace kelvox::test {
namespace {

class DepartureTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    Start();
  }

  // Slots dense, tag = slot + 1, grid row = tag, each row drawn from its record,
  // the connection's and the link's Tag = slot.
  void ExpectDense() {
    const int n = bouncer.UserCount();
    for (int slot = 0; slot < n; ++slot) {
      EXPECT_EQ(Record(slot).Client->Tag, slot);
      if (Record(slot).Link) {
        EXPECT_EQ(Record(slot).Link->Tag, slot);
      }
      EXPECT_EQ(console.GetCell(0, slot + 1), Record(slot).Identity);
      EXPECT_EQ(console.GetCell(4, slot + 1), std::to_string(slot + 1));
    }
    EXPECT_EQ(console.RowCount(), n + 2);
    for (int column = 0; column < 5; ++column) EXPECT_EQ(console.GetCell(column, n + 1), "");
    EXPECT_EQ(console.UserCount(), std::to_string(n));
  }
};

TEST_F(DepartureTest, FirstOfThreeLeavesAndTheOthersMoveDownWithEverythingTheyHold) {
  settings.Log = true;
  std::vector<TRecordingPeer*> users;
  for (const char* nick : {"ann", "", "cid"}) {
    users.push_back(&GreetedUser());
    if (*nick != '\0') Say(*users.back(), std::string("NICK ") + nick + "\r\n");
  }
  Say(*users[1], "ADMIN tolvin\r\n");
  TRecordingPeer& server = LinkUser(*users[1], "bob");
  users[0]->PeerCloses();
  Settle();
  ExpectDense();
  EXPECT_EQ(Record(0).Identity, "bob@10.0.0.1");
  EXPECT_TRUE(Record(0).Admin);
  EXPECT_EQ(Record(0).Server, "192.0.2.10:6667");
  EXPECT_EQ(console.GetCell(2, 1), "192.0.2.10:6667");
  EXPECT_EQ(Record(1).Identity, "cid@10.0.0.1");
  EXPECT_NE(dir.Read("log.txt").find("] ann@10.0.0.1 Disconnected\r\n"), std::string::npos);
  // The link moved with its user: its lines still reach bob, and tag 1 is bob's.
  server.Receive(":srv NOTICE bob :still here\r\n");
  Settle();
  EXPECT_EQ(users[1]->Take(), ":srv NOTICE bob :still here\r\n");
  bouncer.Kick(1, true);
  Settle();
  EXPECT_EQ(users[1]->Take(), Notice("   You were kicked by the administrator.\r\n", "bob"));
  EXPECT_EQ(server.State(), wsClosed);
  ExpectDense();
}

TEST_F(DepartureTest, DeparturesInAnyOrderLeaveNoGap) {
  const std::vector<std::vector<int>> orders = {{0, 1, 2, 3, 4}, {4, 3, 2, 1, 0}, {1, 3, 0, 4, 2}, {2, 0, 4, 1, 3}};
  for (const auto& order : orders) {
    std::vector<TRecordingPeer*> users;
    for (int i = 0; i < 5; ++i) {
      users.push_back(&GreetedUser());
      Say(*users.back(), "NICK u" + std::to_string(i) + "\r\n");
    }
    for (const int leaving : order) {
      users[static_cast<std::size_t>(leaving)]->PeerCloses();
      Settle();
      ExpectDense();
    }
    EXPECT_EQ(bouncer.UserCount(), 0);
    EXPECT_EQ(console.TrayHint(), "Kelvox - ONLINE (0 users)");
  }
}

// Closed in one task, slots 1 and 3 of five leave one after the other, each
// after the task that closed them.
TEST_F(DepartureTest, UsersClosedTogetherLeaveOneByOne) {
  for (int i = 0; i < 5; ++i) Say(GreetedUser(), "NICK u" + std::to_string(i) + "\r\n");
  loop.Post([&] {
    bouncer.Kick(2, false);
    bouncer.Kick(4, false);
    EXPECT_EQ(bouncer.UserCount(), 5);
  });
  Settle();
  ExpectDense();
  EXPECT_EQ(Record(1).Identity, "u2@10.0.0.1");
  EXPECT_EQ(Record(2).Identity, "u4@10.0.0.1");
}

TEST_F(DepartureTest, ConnectionBeyondTheSlotTableIsClosedWithoutANotice) {
  settings.Max = "";
  for (int i = 0; i < kSlotCount; ++i) Connect("10.1.0." + std::to_string(i));
  TRecordingPeer& extra = Connect();
  EXPECT_EQ(extra.State(), wsClosed);
  EXPECT_EQ(extra.Sent(), "");
  EXPECT_EQ(bouncer.UserCount(), kSlotCount);
  EXPECT_EQ(console.RowCount(), kSlotCount + 2);
}

}  // namespace
}  // namespace kelvox::test
