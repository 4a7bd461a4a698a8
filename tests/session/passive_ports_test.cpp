// tests/session/passive_ports_test.cpp: choosing each session's passive port.
#include "session/passive_ports.h"

#include <gtest/gtest.h>

namespace {

class PassivePortPoolTest : public ::testing::Test {
   protected:
    void SetUp() override {
        clear();
    }
    void TearDown() override {
        clear();
    }
    static void clear() {
        for (int port : {0, 4000, 5000, 5001, 5002}) {
            releasePassivePort(port);
        }
    }
    static void take(int port) {
        takePassivePort(port);
    }
};

}  // namespace

TEST_F(PassivePortPoolTest, TakesTheLowestFreePortOfTheRange) {
    EXPECT_EQ(5000, nextPassivePort(5000, 5002));
    take(5000);
    EXPECT_EQ(5001, nextPassivePort(5000, 5002));
    take(5001);
    EXPECT_EQ(5002, nextPassivePort(5000, 5002));
    take(5002);
    EXPECT_EQ(5002, nextPassivePort(5000, 5002));  // the high end is never tested
    releasePassivePort(5001);
    EXPECT_EQ(5001, nextPassivePort(5000, 5002));
}

TEST_F(PassivePortPoolTest, ASessionWhosePortIsTakenGoesRoundToTheNextFreeOne) {
    take(5000);
    take(5002);
    EXPECT_EQ(5001, nextFreePassivePortAfter(5002, 5000, 5002));  // round from the high end
    EXPECT_EQ(5001, nextFreePassivePortAfter(5000, 5000, 5002));
    take(5001);
    EXPECT_EQ(-1, nextFreePassivePortAfter(5001, 5000, 5002));
    EXPECT_EQ(-1, nextFreePassivePortAfter(0, 0, 0));  // no range: any free port
}

TEST_F(PassivePortPoolTest, WithoutARangeTheLowEndIsAlwaysChosen) {
    take(0);
    EXPECT_EQ(0, nextPassivePort(0, 0));
    take(5000);
    EXPECT_EQ(5000, nextPassivePort(5000, 0));
    EXPECT_EQ(5000, nextPassivePort(5000, 4000));
}
