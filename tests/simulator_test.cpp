// Tests of the modem simulator itself, over bare loopback sockets (independent of the product's transports).
#include <gtest/gtest.h>

#include "support/Simulator.h"

TEST(Simulator, StartsAndAnswersQuit) {
    if (SimulatorPath().empty()) GTEST_SKIP() << "simulator not available";
    SimulatorProcess sim;
    std::string error;
    ASSERT_TRUE(sim.Start({}, error)) << error;
    RawSocket client;
    ASSERT_TRUE(client.ConnectTcp(sim.TelnetPort(), error)) << error;
    ASSERT_TRUE(client.Send("QUIT\r"));
    std::string received;
    for (int i = 0; i < 50 && received.find("cmd: ") == std::string::npos; ++i) client.Receive(received, 100);
    EXPECT_NE(received.find("cmd: "), std::string::npos);
}
