#include "base/SockErrors.hpp"

namespace tav {

std::string SockErrorDescription(int32_t code) {
    switch (code) {
    case kErrInvalidParameter: return "Invalid Parameter";
    case kErrInvalidState: return "Operation invalid for current object state";
    case kErrHostFile: return "Error accessing specified host file";
    default: return "WSAGetLastError Value " + std::to_string(code);
    }
}

void RaiseSockError(int32_t code) {
    throw SockError(SockErrorNumber(code), kSockErrorSource, SockErrorDescription(code));
}

void RaiseBareSocketError(int32_t wsaError) { throw SockError(wsaError, "", ""); }

}  // namespace tav
