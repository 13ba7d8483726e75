// Nothing a peer sends is lost: urgent bytes in the stream, messages over the hold limit,
// connections reset before they are accepted, and a server out of descriptors. The peers are
// plain POSIX sockets, so they can do what the library never does itself.
#include "RawPeer.hpp"
#include "TransportTestUtil.hpp"

using namespace tav;
using namespace tavtest;

namespace {

using Events = std::vector<std::string>;
using TcpMgrDelivery = TcpMgrTest;

TEST_P(TcpMgrDelivery, AMessageOverTheHoldLimitIsDroppedWholeAndTheNextOneArrives) {
    Connect("", "END");
    accepted->MaxRecvHoldBufferSize(8192);
    SendRaw(std::string(20000, 'y') + "END" + "okEND");
    ASSERT_TRUE(PumpFor("Data:ok", accepted));
    EXPECT_EQ(Of(accepted), Events{"Data:ok"});
}

INSTANTIATE_TEST_SUITE_P(BothRoutes, TcpMgrDelivery, ::testing::Bool(), RouteName);

}  // namespace
