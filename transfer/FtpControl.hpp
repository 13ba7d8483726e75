// The FTP client's control connection, both directions: the command writer, which refuses any
// text that would end the command line early (so a name from outside never becomes a second
// command), the reply cutter, which turns received text into reply lines, and the TLS channel
// that carries both once the session is secured. Both directions pass every line to one
// observer (the manager's dialogue notification). The reply state machine is not here: it is
// the manager's one job.
#pragma once

#include <tavsock/Variant.hpp>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tav {

class TAVSocket;
class TlsChannel;

/// One control connection. Does not own the socket's life (the TCP manager does); holds it
/// while it is the session's. Owner thread only.
class FtpControl {
public:
    /// One reply line: its first three characters, and the rest from the fourth on (so it
    /// starts with the space or hyphen after the code).
    struct ReplyLine {
        std::string Code;
        std::string Text;
    };
    using ReplyLines = std::vector<ReplyLine>;

    /// A reply line longer than this without CR LF ends the session: a server that sends
    /// endless text without a line end must not make us hold it all.
    static constexpr size_t kMaxReplyLine = 1024 * 1024;

    /// True when `text` may stand in a command: no CR, LF or NUL, each of which would end the
    /// line (or the server's reading of it) early and start a command of the sender's choice.
    static bool AllowedInCommand(std::string_view text) noexcept;
    /// Raises library error 4 (kErrCommandText) unless every text is allowed; for members
    /// that build a command from a host's text, before anything changes.
    static void CheckCommandText(std::initializer_list<std::string_view> texts);
    /// `command` as it may be shown in a log or to a user: the argument of PASS and ACCT
    /// (any case) replaced by "****".
    static std::string Shown(std::string_view command);

    /// One pass's cutting: the complete lines at the front of `buffer` become reply lines and
    /// leave it; false when there is none. A line whose fourth character is "-" opens a
    /// multi-line reply that runs to the next line starting with the same code and no hyphen
    /// and becomes one line; one left open at the end of the pass is not continued. A line
    /// shorter than three characters is added to the reply before it (dropped with none).
    /// Nothing before `scanFrom` holds a CR LF; it is kept up to date for the next call.
    /// `received`, when given, gets every line cut, as it came (without CR LF), dropped ones too.
    static bool CutReplyLines(std::string& buffer, size_t& scanFrom, ReplyLines& lines,
                              std::vector<std::string>* received = nullptr);

    /// Told of every line: sent (true; Shown, without CR LF) just before it goes out, so it
    /// comes before any reply to it, and received (false) as the cutter takes it, each line of
    /// a multi-line reply on its own. May reset the session: a line whose connection was
    /// detached meanwhile is neither sent nor followed by the rest of its pass.
    using LineObserver = std::function<void(bool sent, const std::string& line)>;
    void Observe(LineObserver observer) { observer_ = std::move(observer); }

    /// The socket of the session (null before the first and after the last).
    void Attach(std::shared_ptr<TAVSocket> socket);
    const std::shared_ptr<TAVSocket>& Socket() const noexcept { return socket_; }
    /// Forgets the socket, the TLS channel and the text not yet cut: nothing of an old
    /// connection can be taken for a reply of the next.
    void Detach() noexcept;

    /// Sends `command` and CR LF (through TLS when secured). 0 when the socket took it or keeps
    /// the rest for its next write notification (or the observer detached the connection);
    /// non-zero when it could not be sent: an empty command, or one holding CR, LF or NUL
    /// (never sent, whoever built it).
    int32_t Send(const std::string& command);
    /// Sends bytes as they are (TLS records); false when the socket failed.
    bool SendRaw(ByteArray bytes);

    enum class Received {
        Text,           // replies (if any) wait in the buffer
        HandshakeDone,  // the TLS handshake finished; the session can log in
        Failed          // TLS failed; the reason is in `error`
    };
    /// Bytes the socket received: decrypted when secured, then added to the reply buffer.
    Received Receive(const uint8_t* data, size_t n, std::string& error);
    /// Cuts the next pass of complete lines out of the buffer and tells the observer of each;
    /// false when there is none.
    bool Cut(ReplyLines& lines);
    /// Text received and not yet cut into lines.
    const std::string& Pending() const noexcept { return buffer_; }

    /// Makes the connection a TLS connection over `channel` (made for the server's name, not
    /// yet started) and sends the ClientHello. Text received before it is dropped: after the
    /// server's consent it speaks TLS only, so plain text then is a third party's. "" or why
    /// it failed.
    std::string StartTls(std::unique_ptr<TlsChannel> channel);
    /// The channel, null while the connection is plain.
    const std::shared_ptr<TlsChannel>& Tls() const noexcept { return tls_; }

private:
    std::shared_ptr<TAVSocket> socket_;
    std::shared_ptr<TlsChannel> tls_;
    LineObserver observer_;
    std::string buffer_;    // received, not yet cut into lines
    size_t scanFrom_ = 0;   // buffer_ searched up to here for CR LF
};

}  // namespace tav
