// The one exception type the library raises.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace tav {

/// A raised error: number, source and description, as the object model reports them.
///
/// Library errors carry 0x80040200 + code and the source "TAV Winsock Library" (see
/// RaiseSockError). A bare socket error carries the Windows Sockets code as its number and an
/// empty source and description.
class SockError : public std::runtime_error {
public:
    SockError(int32_t number, std::string source, std::string description);

    int32_t Number() const noexcept { return mNumber; }
    const std::string& Source() const noexcept { return mSource; }
    const std::string& Description() const noexcept { return mDescription; }

private:
    int32_t mNumber;
    std::string mSource;
    std::string mDescription;
};

/// Base of the library's own error numbers (-2147220992).
inline constexpr int32_t kSockErrorBase = static_cast<int32_t>(0x80040200u);
/// Source text of the library's own errors.
inline constexpr const char* kSockErrorSource = "TAV Winsock Library";
/// Number of the type-mismatch error raised by Variant's checked accessors.
inline constexpr int32_t kTypeMismatch = 13;

}  // namespace tav
