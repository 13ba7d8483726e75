// FtpData: the data connection's texts, socket, drain, buffer, store pump and TLS channel.
#include "transfer/FtpData.hpp"

#include <tavsock/SockError.hpp>
#include <tavsock/TAVSockAddr.hpp>
#include <tavsock/TAVSocket.hpp>
#include <tavsock/TavTCPSocketMgr.hpp>

#include "core/Inet6Text.hpp"
#include "core/SockAddrAccess.hpp"
#include "base/SockErrors.hpp"
#include "core/SocketAccess.hpp"
#include "platform/SockIntf.hpp"
#include "transfer/ReceiveBatching.hpp"
#include "transfer/TlsChannel.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <locale.h>

namespace tav {

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

// Six comma-separated plain decimals 0..255 and nothing else.
bool SixBytes(const std::string& text) {
    int fields = 0;
    size_t at = 0;
    for (;;) {
        const size_t comma = std::min(text.find(',', at), text.size());
        const std::string field = text.substr(at, comma - at);
        if (field.empty() || field.size() > 3 || field.find_first_not_of("0123456789") != std::string::npos ||
            std::stoi(field) > 255)
            return false;
        ++fields;
        if (comma == text.size()) return fields == 6;
        at = comma + 1;
    }
}

// Memory of a listing grows by doubling up to here; past it the room for the whole cap is
// taken at once, so no copy of a large buffer ever lives beside the buffer itself.
constexpr size_t kDoublingLimit = 16 * 1024 * 1024;

}  // namespace

FtpData::FtpData(TavTCPSocketMgr& tcp) : tcp_(tcp), batching_(std::make_unique<ReceiveBatching>()) {}

FtpData::~FtpData() {
    Close();
}

// ---- Texts ----------------------------------------------------------------------------------

bool FtpData::ParsePassiveReply(const std::string& replyText, bool strict, std::string& host, uint16_t& port) {
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
        if (strict) text = text.substr(0, text.find_first_not_of("0123456789,"));
    }
    if (strict && !SixBytes(text)) return false;
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

std::string FtpData::PortCommand(const std::string& dottedAddress, uint16_t port) {
    std::string text = dottedAddress;
    std::replace(text.begin(), text.end(), '.', ',');
    return "PORT " + text + "," + std::to_string(port >> 8) + "," + std::to_string(port & 0xFF);
}

bool FtpData::ParseExtendedPassiveReply(const std::string& replyText, uint16_t& port) {
    // "229 Entering Extended Passive Mode (|||6446|)".
    const size_t open = replyText.find('(');
    if (open == std::string::npos || open + 5 > replyText.size()) return false;
    const char d = replyText[open + 1];
    if (d < '!' || d > '~' || (d >= '0' && d <= '9')) return false;
    if (replyText[open + 2] != d || replyText[open + 3] != d) return false;
    const size_t from = open + 4;
    const size_t end = replyText.find(d, from);
    if (end == std::string::npos || end == from || end - from > 5 || end + 1 >= replyText.size() ||
        replyText[end + 1] != ')')
        return false;
    uint32_t value = 0;
    for (size_t i = from; i < end; ++i) {
        if (replyText[i] < '0' || replyText[i] > '9') return false;
        value = value * 10 + static_cast<uint32_t>(replyText[i] - '0');
    }
    if (value < 1 || value > 65535) return false;
    port = static_cast<uint16_t>(value);
    return true;
}

std::string FtpData::ExtendedPortCommand(const std::array<uint8_t, 16>& address, uint16_t port) {
    return "EPRT |2|" + Inet6Text::Format(address, 0) + "|" + std::to_string(port) + "|";
}

// ---- Sending --------------------------------------------------------------------------------

FtpData::SendOutcome FtpData::SendBytes(TAVSocket& socket, ByteArray bytes) {
    try {
        socket.Send(Variant(std::move(bytes)));
    } catch (const SockError& e) {
        return e.Number() == sockintf::WSAEWOULDBLOCK ? SendOutcome::Pending : SendOutcome::Failed;
    } catch (...) {
        return SendOutcome::Failed;
    }
    return SendOutcome::Done;  // no error: the socket holds nothing back
}

FtpData::SendOutcome FtpData::Flush(TAVSocket& socket) {
    try {
        if (SocketAccess::GenericSend(socket) >= 0) return SendOutcome::Done;
    } catch (...) {
        return SendOutcome::Failed;
    }
    return socket.LastError() == sockintf::WSAEWOULDBLOCK ? SendOutcome::Pending : SendOutcome::Failed;
}

// ---- The connection -------------------------------------------------------------------------

std::shared_ptr<TAVSocket> FtpData::Open(bool passive, const std::shared_ptr<TAVSockAddr>& local) {
    Close();
    SockAddrAccess::SetNetPort(*local, 0);  // the same interface, any port
    std::shared_ptr<TAVSocket> socket = passive ? tcp_.CreateClientSocket(local) : tcp_.CreateServerSocket(local, "", 1);
    if (!socket) return nullptr;
    socket->DataMode(DataMode_Binary);
    // Store data never waits inside Send: what the stack cannot take now goes out on the next
    // write notification, which also brings the next blocks.
    socket->lngRetrySendTimes(0);
    socket_ = socket;
    return socket;
}

void FtpData::Adopt(const std::shared_ptr<TAVSocket>& accepted) {
    const std::shared_ptr<TAVSocket> listener = std::move(socket_);
    socket_ = accepted;
    accepted_ = true;
    accepted->lngRetrySendTimes(0);
    if (listener) tcp_.DestroySocket(listener);
}

void FtpData::Close() noexcept {
    tls_.reset();
    accepted_ = false;
    // Bytes held by the socket go with it; the next upload reads afresh.
    uncounted_ = 0;
    readFailed_ = false;
    std::vector<uint8_t>().swap(piece_);
    if (!socket_) return;
    const std::shared_ptr<TAVSocket> socket = std::move(socket_);
    socket_.reset();
    try {
        tcp_.DestroySocket(socket);
    } catch (...) {
    }
}

void FtpData::Drain(bool passive,
                    const std::function<void(const std::shared_ptr<TAVSocket>&, const std::shared_ptr<TAVSocket>&,
                                             const std::shared_ptr<TAVSockAddr>&)>& accept,
                    const std::function<void(const std::shared_ptr<TAVSocket>&, const Variant&)>& received) {
    // Active mode: the server's connection may wait in the backlog with its notification not
    // yet handled (the final reply was read first). Take it now, or its data would be missed.
    for (int tries = 0; tries < 4 && socket_ && !passive && !accepted_; ++tries) {
        std::shared_ptr<TAVSockAddr> name;
        const std::shared_ptr<TAVSocket> listener = socket_;
        const std::shared_ptr<TAVSocket> incoming = listener->Accept(tcp_.Sockets(), name);
        if (!incoming) break;
        accept(listener, incoming, name);
    }
    // Only a connected data socket: a listening one has nothing to read.
    while (socket_ && (passive || accepted_)) {
        const std::shared_ptr<TAVSocket> data = socket_;
        if (data->HowMuchDataIsAvailable() > 0) {
            int32_t bytesRead = 0;
            int32_t error = 0;
            const Variant bytes = data->Recv(bytesRead, error);
            if (bytesRead <= 0) return;
            received(data, bytes);
            continue;
        }
        // Readable with nothing to read: the server has closed it (or it failed). Either way
        // the connection is finished and must not be used for the next transfer.
        if (data->IsReadable()) Close();
        return;
    }
}

void FtpData::AfterDownloadRead(size_t got) {
    if (socket_) batching_->AfterRead(socket_, got, -1);
}

// ---- Buffer ---------------------------------------------------------------------------------

bool FtpData::Collect(const uint8_t* data, size_t n) {
    if (n > maxBuffer_ - std::min(maxBuffer_, buffer_.size())) return false;
    const size_t needed = buffer_.size() + n;
    if (needed > buffer_.capacity()) {
        const size_t doubled = std::max(needed, buffer_.capacity() * 2);
        buffer_.reserve(doubled > kDoublingLimit ? maxBuffer_ : doubled);
    }
    buffer_.append(reinterpret_cast<const char*>(data), n);
    return true;
}

void FtpData::ClearBuffer() noexcept {
    std::string().swap(buffer_);
}

// ---- Store ----------------------------------------------------------------------------------

FtpData::Pump FtpData::SendBlocks(const Reader& read, int64_t& remaining, int64_t& sent,
                                  const std::function<void()>& progress) {
    const std::shared_ptr<TAVSocket> data = socket_;
    if (!data) return Pump::Failed;
    // Over TLS the blocks wait for the data connection's handshake, whose end starts them.
    const std::shared_ptr<TlsChannel> tls = tls_;
    if (tls && tls->State() == TlsChannel::Phase::Handshaking) return Pump::Waiting;
    if (tls && tls->State() != TlsChannel::Phase::Open) return Pump::Failed;
    // Sending runs the queue: a receiver may end the transfer (or start the next) meanwhile.
    auto outcome = [&](SendOutcome o) { return data != socket_ ? SendOutcome::Pending : o; };
    while (remaining > 0) {
        const Pump step = tls ? SendSealedBlock(*tls, read, remaining, sent, progress)
                              : SendPlainPiece(read, remaining, sent, progress);
        if (data != socket_) return Pump::Waiting;
        if (step != Pump::Finished) return step;
    }
    if (tls) {
        // The end of the file is told with close_notify, so the server can tell it from a
        // connection cut short (once: a later call finds nothing more to send).
        tls->Shutdown();
        if (tls->HasOutgoing()) {
            const SendOutcome o = outcome(SendBytes(*data, tls->TakeOutgoing()));
            if (o == SendOutcome::Failed) return Pump::Failed;
            if (o == SendOutcome::Pending) return Pump::Waiting;
        }
    }
    // Everything is handed over; it is finished once the socket has sent what it still holds.
    switch (Flush(*data)) {
    case SendOutcome::Failed: return Pump::Failed;
    case SendOutcome::Pending: return Pump::Waiting;
    case SendOutcome::Done: break;
    }
    return Pump::Finished;
}

FtpData::Pump FtpData::SendSealedBlock(TlsChannel& tls, const Reader& read, int64_t& remaining, int64_t& sent,
                                       const std::function<void()>& progress) {
    // One block per record: what the socket takes of the records says nothing about the
    // plain bytes, so the count goes up by the block as it is handed over.
    const size_t n = static_cast<size_t>(std::min<int64_t>(kStoreBlock, remaining));
    if (piece_.size() < n) piece_.resize(n);
    // A file that shrank or cannot be read: the upload cannot be completed truthfully.
    if (read(piece_.data(), n) != static_cast<int64_t>(n)) return Pump::FileFailed;
    remaining -= static_cast<int64_t>(n);
    sent += static_cast<int64_t>(n);
    progress();
    if (!tls.Send(piece_.data(), n)) return Pump::Failed;
    return PumpOf(SendBytes(*socket_, tls.TakeOutgoing()));
}

FtpData::Pump FtpData::SendPlainPiece(const Reader& read, int64_t& remaining, int64_t& sent,
                                      const std::function<void()>& progress) {
    // Large pieces go out in one read and one send each, yet the count moves as it would
    // with 4096-byte blocks sent one after another, each only once the one before went out
    // whole: every block up to the one holding the first byte the socket kept back. So
    // FTPDataTransferred reports the same steps. The blocks after that one stay in the
    // socket, not yet counted (`uncounted_`), and are counted as the socket takes them.
    TAVSocket& socket = *socket_;
    int64_t fresh = uncounted_;
    SendOutcome o = SendOutcome::Done;
    if (uncounted_ > 0) {
        o = Flush(socket);
    } else {
        // A read that comes up short hands over the whole blocks it brought (as reading
        // block by block would have) and fails at the next turn.
        if (readFailed_) return Pump::FileFailed;
        const size_t n = static_cast<size_t>(std::min<int64_t>(kStorePiece, remaining));
        if (piece_.size() < kStorePiece) piece_.resize(kStorePiece);
        fresh = read(piece_.data(), n);
        if (fresh != static_cast<int64_t>(n)) {
            readFailed_ = true;
            fresh = fresh > 0 ? fresh - fresh % kStoreBlock : 0;
            if (fresh == 0) return Pump::FileFailed;
        }
        try {
            SocketAccess::SendBytes(socket, piece_.data(), static_cast<size_t>(fresh));
        } catch (const SockError& e) {
            o = e.Number() == sockintf::WSAEWOULDBLOCK ? SendOutcome::Pending : SendOutcome::Failed;
        } catch (...) {
            o = SendOutcome::Failed;
        }
    }
    // What the socket still holds ends with the fresh bytes; the first byte it kept back
    // decides how many of them count (a failed send counts the first block, as before).
    const int64_t held = o == SendOutcome::Done ? 0 : o == SendOutcome::Failed ? fresh : socket.PendedSendLength();
    const int64_t taken = std::max<int64_t>(0, fresh - held);
    const int64_t counted = held == 0 ? fresh : std::min(fresh, (taken / kStoreBlock + 1) * kStoreBlock);
    uncounted_ = fresh - counted;
    remaining -= counted;
    sent += counted;
    progress();
    return PumpOf(o);
}

FtpData::Pump FtpData::PumpOf(SendOutcome outcome) noexcept {
    switch (outcome) {
    case SendOutcome::Done: return Pump::Finished;
    case SendOutcome::Pending: return Pump::Waiting;
    case SendOutcome::Failed: break;
    }
    return Pump::Failed;
}

// ---- TLS ------------------------------------------------------------------------------------

std::string FtpData::StartTls(std::unique_ptr<TlsChannel> channel) {
    const std::shared_ptr<TAVSocket> data = socket_;
    if (!data) return "";
    const std::shared_ptr<TlsChannel> tls = std::move(channel);
    tls_ = tls;
    tls->Start();
    if (tls->State() == TlsChannel::Phase::Failed) return tls->Error();
    // The ClientHello waits at the server until it takes the data connection up.
    if (SendBytes(*data, tls->TakeOutgoing()) == SendOutcome::Failed)
        return "the data connection's TLS handshake could not be sent";
    return "";
}

FtpData::TlsReceived FtpData::ReceiveTls(const ByteArray& bytes, const std::function<void(const uint8_t*, size_t)>& plain,
                                         std::string& error) {
    const std::shared_ptr<TlsChannel> tls = tls_;
    const std::shared_ptr<TAVSocket> data = socket_;
    const bool wasHandshaking = tls->State() == TlsChannel::Phase::Handshaking;
    const TlsChannel::Phase phase = tls->Receive(bytes.data(), bytes.size());
    if (phase == TlsChannel::Phase::Failed) {
        error = tls->Error();
        return TlsReceived::Failed;
    }
    if (tls->HasOutgoing()) {
        if (SendBytes(*data, tls->TakeOutgoing()) == SendOutcome::Failed) {
            error = "the data connection's TLS records could not be sent";
            return TlsReceived::Failed;
        }
        if (data != socket_) return TlsReceived::Plain;
    }
    if (tls->PlainSize() > 0) plain(tls->PlainData(), tls->PlainSize());
    if (data != socket_) return TlsReceived::Plain;
    if (phase == TlsChannel::Phase::Closed) {
        // The server's close_notify is the end of the data: servers (vsftpd) wait for ours
        // before they close the connection and send the final reply, so it goes now.
        tls->Shutdown();
        if (tls->HasOutgoing()) (void)SendBytes(*data, tls->TakeOutgoing());
        return TlsReceived::Closed;
    }
    return wasHandshaking && phase == TlsChannel::Phase::Open ? TlsReceived::HandshakeDone : TlsReceived::Plain;
}

}  // namespace tav
