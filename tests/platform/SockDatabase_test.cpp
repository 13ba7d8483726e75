// Database calls and the host record layout shared with the background look-ups.
#include "platform/HostDb.hpp"
#include "SockTestUtil.hpp"

#include <cstring>
#include <vector>

using namespace tav::sockintf;
using namespace tav::sockintf::test;

namespace {
uint32_t Address(const HOSTENT* h, int i) {
    uint32_t a;
    std::memcpy(&a, h->h_addr_list[i], 4);
    return a;
}
}  // namespace

class SockDatabase : public StackTest {};

TEST_F(SockDatabase, HostsResolveByNameDottedTextAndAddress) {
    const uint32_t loop = inthtonl(0x7F000001);
    const HOSTENT* h = intgethostbyname("localhost");
    ASSERT_NE(h, nullptr) << intWSAGetLastError();
    EXPECT_EQ(h->h_addrtype, AF_INET_W);
    EXPECT_EQ(h->h_length, 4);
    EXPECT_EQ(Address(h, 0), loop);

    h = intgethostbyname("127.0.0.1");
    ASSERT_NE(h, nullptr);
    EXPECT_STREQ(h->h_name, "127.0.0.1");
    EXPECT_EQ(Address(h, 0), loop);
    EXPECT_EQ(h->h_addr_list[1], nullptr);

    h = intgethostbyaddr(reinterpret_cast<const char*>(&loop), 4, AF_INET_W);
    ASSERT_NE(h, nullptr) << intWSAGetLastError();
    EXPECT_GT(std::strlen(h->h_name), 0u);

    char name[1024] = {};
    ASSERT_EQ(intgethostname(name, sizeof name - 1), 0);
    EXPECT_NE(intgethostbyname(name), nullptr);
    EXPECT_EQ(intgethostbyname("no-such-host.invalid"), nullptr);
    EXPECT_EQ(intWSAGetLastError(), WSAHOST_NOT_FOUND);
}

TEST_F(SockDatabase, ServicesAndProtocolsComeFromTheSystemFiles) {
    const SERVENT* s = intgetservbyname("http", "tcp");
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s->s_proto, "tcp");
    EXPECT_EQ(static_cast<uint16_t>(s->s_port), inthtons(80));
    s = intgetservbyname("domain", "udp");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(static_cast<uint16_t>(s->s_port), inthtons(53));
    s = intgetservbyport(inthtons(80), "tcp");
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s->s_name, "http");
    EXPECT_EQ(intgetservbyname("no-such-service", "tcp"), nullptr);
    EXPECT_EQ(intWSAGetLastError(), WSANO_DATA);

    const PROTOENT* p = intgetprotobyname("tcp");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->p_proto, 6);
    p = intgetprotobynumber(17);
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(p->p_name, "udp");
}

TEST(HostDb, SerializedRecordPointsIntoItsBufferOrAsksForMore) {
    hostdb::HostRecord rec;
    rec.name = "host.example";
    rec.aliases = {"a1", "alias-two"};
    rec.addresses = {inthtonl(0x0A000001), inthtonl(0x0A000002)};
    int needed = 0;
    std::vector<char> buf(40);
    EXPECT_EQ(hostdb::SerializeHostEnt(rec, buf.data(), 40, needed), WSAENOBUFS);
    ASSERT_GT(needed, 40);

    buf.resize(static_cast<size_t>(needed));
    ASSERT_EQ(hostdb::SerializeHostEnt(rec, buf.data(), needed, needed), 0);
    const auto* h = reinterpret_cast<const HOSTENT*>(buf.data());
    auto inside = [&](const void* p) { return p >= buf.data() && p < buf.data() + buf.size(); };
    EXPECT_TRUE(inside(h->h_name) && inside(h->h_aliases[1]) && inside(h->h_addr_list[1]));
    EXPECT_STREQ(h->h_name, "host.example");
    EXPECT_STREQ(h->h_aliases[1], "alias-two");
    EXPECT_EQ(h->h_aliases[2], nullptr);
    EXPECT_EQ(Address(h, 1), inthtonl(0x0A000002));
    EXPECT_EQ(h->h_addr_list[2], nullptr);
}
