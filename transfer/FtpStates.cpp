// The FTP client's state names, for the debug log.
#include "transfer/FtpStates.hpp"

namespace tav {

const char* ftpstate::Name(int32_t state) noexcept {
    switch (state) {
    case Disconnected: return "Disconnected";
    case Resolving: return "Resolving";
    case ConnectPending: return "ConnectPending";
    case Connecting: return "Connecting";
    case Connected: return "Connected";
    case UserSent: return "UserSent";
    case PassSent: return "PassSent";
    case AcctSent: return "AcctSent";
    case Ready: return "Ready";
    case PasvSent: return "PasvSent";
    case PortSent: return "PortSent";
    case DataConnecting: return "DataConnecting";
    case Listing: return "Listing";
    case ChangingDir: return "ChangingDir";
    case RetrSent: return "RetrSent";
    case Retrieving: return "Retrieving";
    case Storing: return "Storing";
    case StoreDone: return "StoreDone";
    case StorSent: return "StorSent";
    case RestSent: return "RestSent";
    case TlsGreeting: return "TlsGreeting";
    case AuthSent: return "AuthSent";
    case ControlHandshake: return "ControlHandshake";
    case PbszSent: return "PbszSent";
    case ProtSent: return "ProtSent";
    default: return "?";
    }
}

}  // namespace tav
