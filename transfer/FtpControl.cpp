// FtpControl: the command writer, the reply cutter and the control connection's TLS channel.
#include "transfer/FtpControl.hpp"

#include <tavsock/TAVSocket.hpp>

#include "base/SockErrors.hpp"
#include "platform/SockIntf.hpp"
#include "transfer/FtpData.hpp"
#include "transfer/TlsChannel.hpp"

#include <algorithm>

namespace tav {

bool FtpControl::AllowedInCommand(std::string_view text) noexcept {
    return text.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

void FtpControl::CheckCommandText(std::initializer_list<std::string_view> texts) {
    for (const std::string_view text : texts)
        if (!AllowedInCommand(text)) RaiseSockError(kErrCommandText);
}

std::string FtpControl::Shown(std::string_view command) {
    const std::string_view verb = command.substr(0, command.find(' '));
    auto is = [&](std::string_view secret) {
        return verb.size() == secret.size() &&
               std::equal(verb.begin(), verb.end(), secret.begin(), [](char a, char b) { return (a & ~0x20) == b; });
    };
    if (verb.size() < command.size() && (is("PASS") || is("ACCT"))) return std::string(verb) + " ****";
    return std::string(command);
}

void FtpControl::Attach(std::shared_ptr<TAVSocket> socket) {
    Detach();
    socket_ = std::move(socket);
}

void FtpControl::Detach() noexcept {
    socket_.reset();
    tls_.reset();
    buffer_.clear();
    scanFrom_ = 0;
}

int32_t FtpControl::Send(const std::string& command) {
    // The last line of defence: whatever built the command, it goes out as one line or not at all.
    if (command.empty() || !AllowedInCommand(command) || !socket_) return -1;
    const std::shared_ptr<TAVSocket> socket = socket_;  // held: Send runs the queue
    if (observer_) {
        observer_(true, Shown(command));
        // The observer ended this connection: the command belonged to it.
        if (socket_ != socket) return 0;
    }
    const std::string line = command + "\r\n";
    ByteArray bytes(line.begin(), line.end());
    if (const std::shared_ptr<TlsChannel> tls = tls_) {
        if (!tls->Send(bytes.data(), bytes.size())) return -1;
        bytes = tls->TakeOutgoing();
    }
    try {
        socket->Send(Variant(std::move(bytes)));
    } catch (const SockError& e) {
        // The rest stays pending and goes out on the next write notification.
        if (e.Number() == sockintf::WSAEWOULDBLOCK) return 0;
        return e.Number() != 0 ? e.Number() : -1;
    } catch (...) {
        return -1;
    }
    if (socket->BytesSent() == 0 && socket->LastError() != sockintf::WSAEWOULDBLOCK) return -1;
    return 0;
}

bool FtpControl::SendRaw(ByteArray bytes) {
    if (bytes.empty()) return true;
    const std::shared_ptr<TAVSocket> socket = socket_;
    return socket && FtpData::SendBytes(*socket, std::move(bytes)) != FtpData::SendOutcome::Failed;
}

FtpControl::Received FtpControl::Receive(const uint8_t* data, size_t n, std::string& error) {
    const std::shared_ptr<TlsChannel> tls = tls_;  // held: sending runs the queue
    if (!tls) {
        buffer_.append(reinterpret_cast<const char*>(data), n);
        return Received::Text;
    }
    const bool wasHandshaking = tls->State() == TlsChannel::Phase::Handshaking;
    const TlsChannel::Phase phase = tls->Receive(data, n);
    if (phase == TlsChannel::Phase::Failed) {
        error = tls->Error();
        return Received::Failed;
    }
    if (wasHandshaking && phase != TlsChannel::Phase::Handshaking) {
        // The end of the handshake goes out before anything else.
        if (!SendRaw(tls->TakeOutgoing())) {
            error = "the control connection's TLS handshake could not be sent";
            return Received::Failed;
        }
        return Received::HandshakeDone;
    }
    ByteArray answer = tls->HasOutgoing() ? tls->TakeOutgoing() : ByteArray();
    // The replies are in the buffer before the answer's send can run the queue.
    buffer_.append(reinterpret_cast<const char*>(tls->PlainData()), tls->PlainSize());
    if (!answer.empty() && tls == tls_) (void)SendRaw(std::move(answer));
    return Received::Text;
}

std::string FtpControl::StartTls(std::unique_ptr<TlsChannel> channel) {
    buffer_.clear();
    scanFrom_ = 0;
    const std::shared_ptr<TlsChannel> tls = std::move(channel);
    tls_ = tls;
    tls->Start();
    if (tls->State() == TlsChannel::Phase::Failed) return tls->Error();
    if (!SendRaw(tls->TakeOutgoing())) return "the control connection's TLS handshake could not be sent";
    return "";
}

bool FtpControl::Cut(ReplyLines& lines) {
    if (!observer_) return CutReplyLines(buffer_, scanFrom_, lines);
    std::vector<std::string> received;
    const bool cut = CutReplyLines(buffer_, scanFrom_, lines, &received);
    const std::shared_ptr<TAVSocket> socket = socket_;
    for (const std::string& line : received) {
        observer_(false, line);
        if (socket_ != socket) break;  // the observer ended this connection
    }
    return cut;
}

bool FtpControl::CutReplyLines(std::string& buffer, size_t& scanFrom, ReplyLines& lines, std::vector<std::string>* received) {
    bool inMultiLine = false;
    size_t opener = 0;  // index in lines of the reply that opened the multi-line reply
    size_t start = 0;
    for (;;) {
        // Nothing before scanFrom holds a line end (it was searched when it arrived).
        const size_t end = buffer.find("\r\n", std::max(start, scanFrom));
        if (end == std::string::npos) break;
        scanFrom = 0;
        std::string line = buffer.substr(start, end - start);
        start = end + 2;
        if (received) received->push_back(line);

        if (inMultiLine) {
            ReplyLine& open = lines[opener];
            open.Text += "\r\n";
            open.Text += line;
            // Lines that begin with the code and a hyphen continue it (a greeting of several
            // "220-" lines is one reply); the code with anything else ends it.
            if (line.size() >= 3 && line.compare(0, 3, open.Code) == 0 && !(line.size() >= 4 && line[3] == '-'))
                inMultiLine = false;
            continue;
        }
        if (line.size() >= 3) {
            lines.push_back(ReplyLine{line.substr(0, 3), line.substr(3)});
            if (line.size() >= 4 && line[3] == '-') {
                inMultiLine = true;
                opener = lines.size() - 1;
            }
            continue;
        }
        // A short line belongs to the reply before it; with none, it is dropped.
        if (!lines.empty()) {
            lines.back().Text += "\r\n";
            lines.back().Text += line;
        }
    }
    if (start != 0) buffer.erase(0, start);
    // A CR at the end may still get its LF.
    scanFrom = buffer.empty() ? 0 : buffer.size() - 1;
    return start != 0;
}

}  // namespace tav
