// Departures: the tables, the grid and the counts close up so that slots, tags
// and rows stay dense.
#include <gtest/gtest.h>

#include "tests/engine/bouncer_fixture.h"

namespace kelvox::test {
namespace {

using DepartureTest = BouncerTest;

// Slots dense, tag = slot + 1, grid row = tag, link tags = slot.
void ExpectDense(TBouncer& bouncer, TConsoleModel& console) {
  const int n = bouncer.UserCount();
  for (int slot = 0; slot < n; ++slot) {
    EXPECT_EQ(bouncer.ClientOfSlot(slot)->Slot, slot);
    EXPECT_EQ(console.GetCell(4, slot + 1), std::to_string(slot + 1));
    if (bouncer.Links[static_cast<std::size_t>(slot)]) {
      EXPECT_EQ(bouncer.Links[static_cast<std::size_t>(slot)]->Tag, slot);
    }
  }
  EXPECT_EQ(console.RowCount(), n + 2);
  for (int column = 0; column < 5; ++column) EXPECT_EQ(console.GetCell(column, n + 1), "");
}

TEST_F(DepartureTest, FirstOfThreeLeavesAndTheOthersMoveDown) {
  settings.Log = true;
  Start();
  TRawPeer& first = Connect();
  Connect();
  Connect();
  for (int row = 1; row <= 3; ++row) console.SetCell(0, row, "user" + std::to_string(row) + "@127.0.0.1");
  // The second user's record and link move with it.
  bouncer.Slots[1].Pending = "NICK user2\r\n";
  bouncer.Slots[1].Admin = true;
  bouncer.Slots[1].LocalIp = "127.0.0.1";
  bouncer.Links[1] = std::make_unique<TWSocket>(loop);
  bouncer.Links[1]->Tag = 1;

  first.Close();
  WaitUsers(2);
  ExpectDense(bouncer, console);
  EXPECT_EQ(console.GetCell(0, 1), "user2@127.0.0.1");
  EXPECT_EQ(console.GetCell(0, 2), "user3@127.0.0.1");
  EXPECT_EQ(bouncer.Slots[0].Pending, "NICK user2\r\n");
  EXPECT_TRUE(bouncer.Slots[0].Admin);
  EXPECT_EQ(bouncer.Slots[0].LocalIp, "127.0.0.1");
  EXPECT_EQ(bouncer.Links[0]->Tag, 0);
  EXPECT_EQ(bouncer.Links[2], nullptr);
  EXPECT_EQ(bouncer.Slots[2].Pending, "");
  EXPECT_EQ(console.UserCount(), "2");
  EXPECT_EQ(console.TrayHint(), "Kelvox - ONLINE (2 users)");
  const std::string log = dir.Read("log.txt");
  EXPECT_NE(log.find("] user1@127.0.0.1 Disconnected\r\n"), std::string::npos) << log;

  // Tag 2 now reaches the user that had tag 3.
  bouncer.Kick(2, true);
  WaitUsers(1);
  EXPECT_EQ(peers[2]->Received().substr(Greeting().size()),
            Notice("   You were kicked by the administrator.\r\n"));
}

TEST_F(DepartureTest, LastUserLeavesAndTheGridIsBackToTwoRows) {
  Start();
  TRawPeer& only = Connect();
  only.Close();
  WaitUsers(0);
  EXPECT_EQ(console.RowCount(), 2);
  EXPECT_EQ(console.UserCount(), "0");
  EXPECT_EQ(console.TrayHint(), "Kelvox - ONLINE (0 users)");
}

// Two users closed in one handler: slots 1 and 3 of five.
TEST_F(DepartureTest, TwoUsersClosingAtOnceLeaveNoGap) {
  Start();
  for (int i = 0; i < 5; ++i) Connect();
  loop.Post([&] {
    bouncer.ClientOfSlot(1)->Close();
    bouncer.ClientOfSlot(3)->Close();
  });
  WaitUsers(3);
  ExpectDense(bouncer, console);
  EXPECT_EQ(console.UserCount(), "3");
  EXPECT_FALSE(peers[0]->Eof());
  EXPECT_FALSE(peers[2]->Eof());
  EXPECT_FALSE(peers[4]->Eof());
}

TEST_F(DepartureTest, ConnectionBeyondTheSlotTableIsClosedWithoutANotice) {
  settings.Max = "";
  Start();
  for (int i = 0; i < kSlotCount; ++i) Connect();
  ASSERT_EQ(bouncer.UserCount(), kSlotCount);
  TRawPeer& extra = Connect();
  WaitClosed(extra);
  EXPECT_EQ(extra.Received(), "");
  WaitUsers(kSlotCount);
  EXPECT_EQ(console.RowCount(), kSlotCount + 2);
  peers.front()->Close();
  WaitUsers(kSlotCount - 1);
  ExpectDense(bouncer, console);
}

}  // namespace
}  // namespace kelvox::test
