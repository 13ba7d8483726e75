// Filling TAVHostInfo from a host record written into its result buffer, as the background
// look-ups do, and its own members.
#include <tavsock/TAVHostInfo.hpp>

#include "NamesTestUtil.hpp"
#include "names/HostInfoAccess.hpp"
#include "platform/HostDb.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <vector>

using tav::HostInfoAccess;
using tav::sockintf::HOSTENT;

namespace {

/// A host record laid out by hand at the start of a result buffer, with everything it points
/// to following it in the same buffer, as the socket layer writes it.
struct InBuffer {
    HOSTENT rec;
    char* aliasList[5];
    char* addrList[3];
    uint32_t addr[2];
    char text[5][16];
};
static_assert(sizeof(InBuffer) <= 1024);

/// Up to 4 aliases (written as given, an empty one included) and 2 addresses.
void Lay(char* buf, const char* name, std::vector<std::string> aliases, int16_t type, std::vector<uint32_t> addrs) {
    auto* b = new (buf) InBuffer{};
    b->rec = {name ? std::strcpy(b->text[4], name) : nullptr, b->aliasList, type, 4, b->addrList};
    for (size_t i = 0; i < aliases.size(); ++i) b->aliasList[i] = std::strcpy(b->text[i], aliases[i].c_str());
    for (size_t i = 0; i < addrs.size(); ++i) {
        b->addr[i] = addrs[i];
        b->addrList[i] = reinterpret_cast<char*>(&b->addr[i]);
    }
}

constexpr uint32_t kAddr1 = 0x0100000A;  // 10.0.0.1, network order
constexpr uint32_t kAddr2 = 0x0200000A;  // 10.0.0.2

TEST(HostInfo, ResultBufferIsStableAndAlignedForARecord) {
    const auto host = HostInfoAccess::Create();
    char* buf = HostInfoAccess::ResultBuffer(*host);
    EXPECT_EQ(HostInfoAccess::ResultBuffer(*host), buf);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(buf) % alignof(HOSTENT), 0u);
    // The whole announced length plus the spare byte is writable (ASan checks the bounds).
    std::memset(buf, 0x5A, HostInfoAccess::kResultBufferLength + 1);
}

TEST(HostInfo, LoadFromBufferCopiesNameAliasesAndAddressesInOrder) {
    const auto host = HostInfoAccess::Create();
    Lay(HostInfoAccess::ResultBuffer(*host), "host.example", {"first", "second"}, 2, {kAddr1, kAddr2});
    HostInfoAccess::LoadFromBuffer(*host);

    EXPECT_EQ(host->Name(), "host.example");
    ASSERT_EQ(host->AliasCount(), 2);
    EXPECT_EQ(host->Alias(1), "first");
    EXPECT_EQ(host->Alias(2), "second");
    ASSERT_EQ(host->AddressCount(), 2);
    EXPECT_EQ(static_cast<uint32_t>(host->Address(1)), kAddr1);
    EXPECT_EQ(static_cast<uint32_t>(host->Address(2)), kAddr2);
    EXPECT_INVALID_PARAMETER(host->Address(3));
    EXPECT_INVALID_PARAMETER(host->Address(0));
    EXPECT_INVALID_PARAMETER(host->Alias(3));

    // The copy owns its texts: overwriting the buffer changes nothing.
    std::memset(HostInfoAccess::ResultBuffer(*host), 0, HostInfoAccess::kResultBufferLength);
    EXPECT_EQ(host->Alias(2), "second");
}

TEST(HostInfo, RecordOfAnotherFamilyKeepsNameAndAliasesButNoAddresses) {
    const auto host = HostInfoAccess::Create();
    char* buf = HostInfoAccess::ResultBuffer(*host);
    Lay(buf, "one", {"a"}, 2, {kAddr1});
    HostInfoAccess::LoadFromBuffer(*host);
    ASSERT_EQ(host->AddressCount(), 1);

    // A later record replaces the lists: the earlier address must not survive.
    Lay(buf, "v6host", {"x", "y"}, 23, {kAddr1, kAddr2});
    HostInfoAccess::LoadFromBuffer(*host);
    EXPECT_EQ(host->Name(), "v6host");
    EXPECT_EQ(host->AliasCount(), 2);
    EXPECT_EQ(host->AddressCount(), 0);
    EXPECT_INVALID_PARAMETER(host->Address(1));
}

TEST(HostInfo, AliasListEndsAtTheFirstEmptyTextAndNullNameReadsEmpty) {
    const auto host = HostInfoAccess::Create();
    Lay(HostInfoAccess::ResultBuffer(*host), nullptr, {"a1", "a2", "", "after-the-end"}, 2, {});
    HostInfoAccess::LoadFromBuffer(*host);
    EXPECT_EQ(host->Name(), "");
    EXPECT_EQ(host->AliasCount(), 2);
    EXPECT_EQ(host->AddressCount(), 0);

    HOSTENT bare{nullptr, nullptr, 2, 4, nullptr};  // null lists: nothing to walk
    HostInfoAccess::CopyHostEnt(*host, bare);
    EXPECT_EQ(host->AliasCount(), 0);
    EXPECT_EQ(host->AddressCount(), 0);
}

TEST(HostInfo, RecordSerializedByTheSocketLayerLoadsAlike) {
    // The background look-ups write with hostdb::SerializeHostEnt into the announced length.
    tav::sockintf::hostdb::HostRecord rec;
    rec.name = "serialized.example";
    rec.aliases = {"s1", "s2"};
    rec.addresses = {kAddr2, kAddr1};
    const auto host = HostInfoAccess::Create();
    int needed = 0;
    ASSERT_EQ(tav::sockintf::hostdb::SerializeHostEnt(rec, HostInfoAccess::ResultBuffer(*host),
                                                      HostInfoAccess::kResultBufferLength, needed),
              0);
    HostInfoAccess::LoadFromBuffer(*host);
    EXPECT_EQ(host->Name(), "serialized.example");
    EXPECT_EQ(host->AliasCount(), 2);
    ASSERT_EQ(host->AddressCount(), 2);
    EXPECT_EQ(static_cast<uint32_t>(host->Address(1)), kAddr2);
}

}  // namespace
