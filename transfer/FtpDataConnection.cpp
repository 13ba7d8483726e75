// TavFTPTransferMgr: the data connection, passive (PASV, we connect) or active (PORT, the
// server connects to our listening socket), and its events.
#include <tavsock/TavFTPTransferMgr.hpp>

#include <tavsock/TAVSocketUtil.hpp>

#include "core/SockAddrAccess.hpp"
#include "base/SockErrors.hpp"
#include "core/SocketAccess.hpp"
#include "platform/SockIntf.hpp"
#include "transfer/FtpStates.hpp"
#include "transfer/TlsChannel.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <locale.h>

namespace tav {

namespace st = ftpstate;

namespace {

// The numeric value at the start of a text, after blanks ("12abc" 12, "x" 0), as the
// classic component's conversion read it: a sign, decimal digits with an optional fraction
// and exponent. Read by hand, not by strtod, which would also take other white space, hex
// numbers, "inf" and "nan", and follows the host's locale.
double LeadingNumber(const std::string& text) {
    size_t i = text.find_first_not_of(" \t");
    if (i == std::string::npos) return 0;
    const bool negative = text[i] == '-';
    if (text[i] == '+' || text[i] == '-') ++i;
    const size_t from = i;
    size_t digits = 0;
    auto skipDigits = [&] {
        for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) ++digits;
    };
    skipDigits();
    if (i < text.size() && text[i] == '.') {
        ++i;
        skipDigits();
    }
    if (digits == 0) return 0;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        size_t k = i + 1;
        if (k < text.size() && (text[k] == '+' || text[k] == '-')) ++k;
        if (k < text.size() && text[k] >= '0' && text[k] <= '9') {
            i = k;
            skipDigits();
        }
    }
    // Only digits, a point and an exponent are left: strtod in the "C" locale reads them alike
    // everywhere (too large gives HUGE_VAL, which the caller refuses; too small gives 0).
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", nullptr);
    const double value = strtod_l(text.substr(from, i - from).c_str(), nullptr, cLocale);
    return negative ? -value : value;
}

std::string Trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

}  // namespace

int32_t TavFTPTransferMgr::SetUpDataConnection(const std::string& replyText) {
    if (mPassiveMode && replyText.empty()) {
        CloseDataSocket();
        ClientState = st::PasvSent;
        return SendCommand("PASV");
    }
    CloseDataSocket();
    if (!mControl) return -1;
    // The same local interface as the control connection, any port.
    const std::shared_ptr<TAVSockAddr> local = mControl->LocalAddr();
    if (!local) return -1;
    SockAddrAccess::SetNetPort(*local, 0);
    std::shared_ptr<TAVSocket> data =
        mPassiveMode ? mTcp->CreateClientSocket(local) : mTcp->CreateServerSocket(local, "", 1);
    if (!data) return -1;  // creation raises on failure; a silent null is a failure too
    data->DataMode(DataMode_Binary);
    // Store data never waits inside Send: what the stack cannot take now goes out on the next
    // write notification, which also brings the next blocks.
    data->lngRetrySendTimes(0);
    mData = data;
    mAccepted = false;
    return mPassiveMode ? ConnectPassive(replyText) : SendPort();
}

bool TavFTPTransferMgr::ParsePassiveReply(const std::string& replyText, std::string& host, uint16_t& port) {
    // "227 Entering Passive Mode (h1,h2,h3,h4,p1,p2)": what stands between the parentheses.
    // Without them, the numbers are taken from the first digit on, as servers that leave
    // them out still send the six numbers.
    std::string text = Trimmed(replyText);
    const size_t open = text.find('(');
    if (open != std::string::npos) {
        text = text.substr(open + 1);
        text = text.substr(0, text.find(')'));
    } else {
        const size_t digit = text.find_first_of("0123456789");
        text = digit == std::string::npos ? "" : text.substr(digit);
    }
    size_t fourth = std::string::npos;
    size_t at = 0;
    for (int i = 0; i < 4; ++i) {
        const size_t comma = text.find(',', at);
        if (comma == std::string::npos) return false;
        text[comma] = '.';
        fourth = comma;
        at = comma;
    }
    host = text.substr(0, fourth);
    const std::string ports = text.substr(fourth + 1);
    const size_t comma = ports.find(',');
    const double high = LeadingNumber(ports.substr(0, comma));
    const double low = comma == std::string::npos ? 0 : LeadingNumber(ports.substr(comma + 1));
    const double number = high * 256 + low;
    // Beyond this the rounding to an integer has no defined result: no port to connect to.
    if (!(std::fabs(number) < 0x1p62)) return false;
    port = static_cast<uint16_t>(std::llround(number) & 0xFFFF);
    return true;
}

int32_t TavFTPTransferMgr::ConnectPassive(const std::string& replyText) {
    std::string host;
    uint16_t port = 0;
    if (!ParsePassiveReply(replyText, host, port)) return -1;  // not six numbers: no connection to make

    const std::shared_ptr<TAVSocketUtil>& util = mTcp->Sockets()->Util();
    int32_t address = util->NetAddrFromDottedStr(host);
    if (!mPassiveAddressFromReply) {
        // Only the port is taken from the reply: the data goes where the control connection
        // goes, whatever address the server believes it has.
        const std::shared_ptr<TAVSockAddr> peer = mControl ? mControl->RemoteAddr() : nullptr;
        if (!peer) return -1;
        address = SockAddrAccess::GetNetAddress(*peer);
    }
    auto target = TAVSockAddr::Create();
    SockAddrAccess::SetNetAddress(*target, address);
    SockAddrAccess::SetNetPort(*target, util->HostToNetShort(static_cast<int16_t>(port)));

    const uint64_t generation = mGeneration;
    const std::shared_ptr<TAVSocket> data = mData;
    ClientState = st::DataConnecting;  // before the call: the completion may come inside it
    if (data->Connect(target) == 0) {
        // Connected at once: no completion notification is owed for it.
        if (generation == mGeneration && data == mData && ClientState == st::DataConnecting) DataConnectComplete(data);
        return 0;
    }
    const int32_t error = data->LastError();
    if (error == sockintf::WSAEWOULDBLOCK || generation != mGeneration) return 0;
    return error != 0 ? error : -1;
}

int32_t TavFTPTransferMgr::SendPort() {
    const std::shared_ptr<TAVSockAddr> local = mData->LocalAddr();
    if (!local) return -1;
    const auto port = static_cast<uint16_t>(mTcp->Sockets()->Util()->NetToHostShort(SockAddrAccess::GetNetPort(*local)));
    const std::string command = PortCommand(local->IPAddress(), port);
    ClientState = st::PortSent;
    return SendCommand(command);
}

std::string TavFTPTransferMgr::PortCommand(const std::string& dottedAddress, uint16_t port) {
    std::string text = dottedAddress;
    std::replace(text.begin(), text.end(), '.', ',');
    return "PORT " + text + "," + std::to_string(port >> 8) + "," + std::to_string(port & 0xFF);
}

int32_t TavFTPTransferMgr::SendPendingCommand() {
    if (mPendingCommand.empty()) return 0;
    // Taken before the send: its reply (and a new transfer started from a notification) may
    // be handled inside it.
    const std::string command = std::move(mPendingCommand);
    mPendingCommand.clear();
    ClientState = PendingState;
    PendingState = st::Disconnected;
    return SendCommand(command);
}

void TavFTPTransferMgr::DataConnectComplete(const std::shared_ptr<TAVSocket>& Skt) {
    if (!Skt || Skt != mData || ClientState != st::DataConnecting) return;
    Progress();
    if (mUseTLS) {
        const uint64_t before = mGeneration;
        StartDataTls();
        if (before != mGeneration) return;
    }
    if (mPendingCommand.empty()) {
        ClientState = st::Ready;
        NotifyReady();
        return;
    }
    const uint64_t generation = mGeneration;
    if (SendPendingCommand() != 0 && generation == mGeneration) {
        ClientState = st::Ready;
        CloseLocalFile(false);
        NotifyObjectError(3);
    }
}

void TavFTPTransferMgr::TCPMgr_AcceptComplete(const std::shared_ptr<TAVSocket>& SourceSocket,
                                              const std::shared_ptr<TAVSocket>& NewSocket,
                                              const std::shared_ptr<TAVSockAddr>& NewSocketName) {
    if (!NewSocket) return;
    if (!SourceSocket || SourceSocket != mData || mAccepted) {
        // Not our listening socket (any more): nobody wants this connection.
        mTcp->DestroySocket(NewSocket);
        return;
    }
    if (mCheckDataPeer) {
        const std::shared_ptr<TAVSockAddr> peer = mControl ? mControl->RemoteAddr() : nullptr;
        if (!peer || !NewSocketName ||
            SockAddrAccess::GetNetAddress(*peer) != SockAddrAccess::GetNetAddress(*NewSocketName)) {
            // A stranger: turned away, and the server's own connection is still awaited.
            mTcp->DestroySocket(NewSocket);
            return;
        }
    }
    Progress();
    mTcp->DestroySocket(SourceSocket);
    NewSocket->lngRetrySendTimes(0);
    mData = NewSocket;
    mAccepted = true;
    if (mUseTLS) {
        const uint64_t before = mGeneration;
        StartDataTls();
        if (before != mGeneration) return;
    }
    // An upload whose go-ahead came before the connection starts now.
    if (ClientState == st::Storing) DataSocketWritable();
}

void TavFTPTransferMgr::DataSocketClosed(const std::shared_ptr<TAVSocket>& Skt) {
    if (!Skt || Skt != mData) return;
    Progress();
    CloseDataSocket();
    if (ClientState == st::Retrieving) FinishRetrieve();
}

void TavFTPTransferMgr::DrainDataSocket() {
    // Active mode: the server's connection may wait in the backlog with its notification not
    // yet handled (the final reply was read first). Take it now, or its data would be missed.
    for (int tries = 0; tries < 4 && mData && !mPassiveMode && !mAccepted; ++tries) {
        std::shared_ptr<TAVSockAddr> name;
        const std::shared_ptr<TAVSocket> listener = mData;
        const std::shared_ptr<TAVSocket> incoming = listener->Accept(mTcp->Sockets(), name);
        if (!incoming) break;
        TCPMgr_AcceptComplete(listener, incoming, name);
    }
    // Only a connected data socket: a listening one has nothing to read.
    while (mData && (mPassiveMode || mAccepted)) {
        const std::shared_ptr<TAVSocket> data = mData;
        const int32_t waiting = data->HowMuchDataIsAvailable();
        if (waiting > 0) {
            int32_t bytesRead = 0;
            int32_t error = 0;
            const Variant bytes = data->Recv(bytesRead, error);
            if (bytesRead <= 0) return;
            DataReceivedOn(data, bytes);
            continue;
        }
        // Readable with nothing to read: the server has closed it (or it failed). Either way
        // the connection is finished and must not be used for the next transfer.
        if (data->IsReadable()) CloseDataSocket();
        return;
    }
}

void TavFTPTransferMgr::CloseDataSocket() noexcept {
    if (!mData) return;
    const std::shared_ptr<TAVSocket> data = std::move(mData);
    mData.reset();
    mDataTls.reset();
    mAccepted = false;
    try {
        if (mTcp) mTcp->DestroySocket(data);
    } catch (...) {
    }
}

TavFTPTransferMgr::SendOutcome TavFTPTransferMgr::SendOnData(TAVSocket& socket, ByteArray block) {
    try {
        socket.Send(Variant(std::move(block)));
    } catch (const SockError& e) {
        return e.Number() == sockintf::WSAEWOULDBLOCK ? SendOutcome::Pending : SendOutcome::Failed;
    } catch (...) {
        return SendOutcome::Failed;
    }
    return SendOutcome::Done;  // no error: the socket holds nothing back
}

TavFTPTransferMgr::SendOutcome TavFTPTransferMgr::FlushData(TAVSocket& socket) {
    try {
        if (SocketAccess::GenericSend(socket) >= 0) return SendOutcome::Done;
    } catch (...) {
        return SendOutcome::Failed;
    }
    return socket.LastError() == sockintf::WSAEWOULDBLOCK ? SendOutcome::Pending : SendOutcome::Failed;
}

}  // namespace tav
