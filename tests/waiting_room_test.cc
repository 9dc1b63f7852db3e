// The waiting room's two rules with small bounds: the oldest goes first past the bound in all,
// and an address keeps its bound of late seats while others and fresh seats are untouched.
#include "server/service/session/waiting_room.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace tarvo {
namespace {

struct Crowd {
  explicit Crowd(WaitingRoom& into) : room(into) {}
  // Seats one more from address; its eviction is logged under its number.
  WaitingSeat& arrive(std::uint32_t address) {
    const int number = static_cast<int>(seats.size());
    seats.push_back(std::make_unique<WaitingSeat>(room, address,
                                                  [this, number] { evicted.push_back(number); }));
    return *seats.back();
  }
  WaitingRoom& room;
  std::vector<std::unique_ptr<WaitingSeat>> seats;
  std::vector<int> evicted;
};

TEST(WaitingRoomTest, PastTheBoundInAllTheLongestWaitingGoes) {
  WaitingRoom room(3, 10);
  Crowd crowd(room);
  for (int i = 0; i < 3; ++i) crowd.arrive(1);
  crowd.seats[0]->leave();  // what it waited for came
  crowd.arrive(1);
  EXPECT_TRUE(crowd.evicted.empty());
  crowd.arrive(2);
  crowd.arrive(2);
  EXPECT_EQ(crowd.evicted, (std::vector<int>{1, 2}));
  EXPECT_EQ(room.size(), 3u);
  EXPECT_FALSE(crowd.seats[1]->waiting());
  crowd.seats.clear();
  EXPECT_EQ(room.size(), 0u);
}

TEST(WaitingRoomTest, AnAddressKeepsItsBoundOfLateSeatsOnly) {
  WaitingRoom room(100, 2);
  Crowd crowd(room);
  for (int i = 0; i < 4; ++i) crowd.arrive(7);
  WaitingSeat& neighbour = crowd.arrive(8);
  EXPECT_TRUE(crowd.seats[0]->turnLate());
  EXPECT_TRUE(crowd.seats[1]->turnLate());
  EXPECT_TRUE(crowd.seats[1]->turnLate());  // once late, it stays counted once
  EXPECT_FALSE(crowd.seats[2]->turnLate());
  EXPECT_TRUE(neighbour.turnLate());
  EXPECT_EQ(crowd.evicted, (std::vector<int>{2}));
  EXPECT_EQ(room.lateFrom(7), 2u);
  // A late seat that leaves makes room for the next one of its address.
  crowd.seats[0].reset();
  EXPECT_TRUE(crowd.seats[3]->turnLate());
  EXPECT_EQ(room.lateFrom(7), 2u);
  crowd.seats.clear();
  EXPECT_EQ(room.lateFrom(7), 0u);
  EXPECT_EQ(room.lateFrom(8), 0u);
}

}  // namespace
}  // namespace tarvo
