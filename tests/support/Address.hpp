// Address objects for tests that drive the library as a host does.
#pragma once

#include <tavsock/TAVSockAddr.hpp>

#include <memory>
#include <string>

namespace tav::test {

/// An address object for `text` (either family) and `port`.
inline std::shared_ptr<TAVSockAddr> At(const std::string& text, int16_t port = 0) {
    auto a = TAVSockAddr::Create();
    a->IPAddress(text);
    a->Port(port);
    return a;
}
inline std::shared_ptr<TAVSockAddr> Loopback(int16_t port = 0) { return At("127.0.0.1", port); }

}  // namespace tav::test
