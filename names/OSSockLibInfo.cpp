#include <tavsock/OSSockLibInfo.hpp>

#include "core/SocketSupport.hpp"
#include "names/StartupRecord.hpp"

namespace tav {

namespace {

/// A fixed text field cut before its first NUL; a field without NUL reads as "".
template <size_t N>
std::string FieldText(const char (&field)[N]) {
    return SocketSupport::TextBeforeNul(std::string(field, N));
}

}  // namespace

int16_t OSSockLibInfo::CurrentVersion() const { return static_cast<int16_t>(ThreadStartupRecord().wVersion); }

std::string OSSockLibInfo::Description() const { return FieldText(ThreadStartupRecord().szDescription); }

bool OSSockLibInfo::HasMaxUDPDatagramSize() const { return CurrentVersion() < 2 && MaxUDPDatagramSize() > 0; }

int16_t OSSockLibInfo::HighVersion() const { return static_cast<int16_t>(ThreadStartupRecord().wHighVersion); }

// The 16-bit counts are unsigned: 40000 sockets read as 40000, not as a negative number.
int32_t OSSockLibInfo::MaxSockets() const { return ThreadStartupRecord().iMaxSockets; }

int32_t OSSockLibInfo::MaxUDPDatagramSize() const { return ThreadStartupRecord().iMaxUdpDg; }

std::string OSSockLibInfo::SystemStatus() const { return FieldText(ThreadStartupRecord().szSystemStatus); }

std::string OSSockLibInfo::VendorInfo() const { return SocketSupport::TextFromAnsiPtr(ThreadStartupRecord().lpVendorInfo); }

}  // namespace tav
