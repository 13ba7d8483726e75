// The FTP client's data connection: the texts that set it up (the 227 or 229 reply read, the
// PORT or EPRT command written), the socket itself (passive: ours connecting; active:
// listening, then the accepted one), draining what waits on it, the store pump, the in-memory
// buffer of a listing or download with its cap, and the connection's TLS channel. Which of
// these happens when is the manager's state machine's business.
#pragma once

#include <tavsock/Variant.hpp>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tav {

class ReceiveBatching;
class TAVSocket;
class TAVSockAddr;
class TavTCPSocketMgr;
class TlsChannel;

/// Owner thread only. Does not own the TCP manager, which outlives it.
class FtpData {
public:
    explicit FtpData(TavTCPSocketMgr& tcp);
    ~FtpData();
    FtpData(const FtpData&) = delete;
    FtpData& operator=(const FtpData&) = delete;

    // ---- Texts ----------------------------------------------------------------------------
    /// The address text ("h1.h2.h3.h4", unchecked) and port of a 227 reply's text: the six
    /// numbers between the parentheses, or from the first digit on without them. False when
    /// there are not six numbers or the port is beyond any meaning (1e300). Otherwise each
    /// number is read as the classic conversion read it ("12abc" 12, "x" 0) and the port kept
    /// to 16 bits; with `strict` every one of the six must be a plain decimal 0..255.
    static bool ParsePassiveReply(const std::string& replyText, bool strict, std::string& host, uint16_t& port);
    /// "PORT h1,h2,h3,h4,p1,p2" for a dotted address and a port.
    static std::string PortCommand(const std::string& dottedAddress, uint16_t port);
    /// The port of a 229 reply's text: "(" then the same delimiter three times, the port
    /// (plain decimal 1..65535), the delimiter again and ")". The delimiter is the first
    /// character inside the first parenthesis, printable and no digit. False for anything
    /// else: the reply names no address, so nothing less exact can be guessed at.
    static bool ParseExtendedPassiveReply(const std::string& replyText, uint16_t& port);
    /// "EPRT |2|address|port|" for an IPv6 address (its zone left out: it means nothing to
    /// the server) and a port.
    static std::string ExtendedPortCommand(const std::array<uint8_t, 16>& address, uint16_t port);

    // ---- Sending on a socket that must not wait in the socket's send retries --------------
    enum class SendOutcome { Done, Pending, Failed };
    /// Hands `bytes` to the socket: Done when nothing is held back, Pending when the rest
    /// goes out on the next write notification, Failed when the socket failed.
    static SendOutcome SendBytes(TAVSocket& socket, ByteArray bytes);
    /// Sends what the socket still holds back.
    static SendOutcome Flush(TAVSocket& socket);

    // ---- The connection ---------------------------------------------------------------------
    /// A new data socket on the local address (any port) after the old one is closed: a client
    /// socket (passive) or one listening with a backlog of 1 (active). Raises what the TCP
    /// manager raises; null when it made none.
    std::shared_ptr<TAVSocket> Open(bool passive, const std::shared_ptr<TAVSockAddr>& local);
    /// The listening socket's replacement by the connection it accepted.
    void Adopt(const std::shared_ptr<TAVSocket>& accepted);
    /// Destroys the socket (and its TLS channel) through the TCP manager; safe when none.
    void Close() noexcept;
    const std::shared_ptr<TAVSocket>& Socket() const noexcept { return socket_; }
    bool Accepted() const noexcept { return accepted_; }

    /// Reads everything waiting: first takes a connection still waiting in an active socket's
    /// backlog (`accept` gets listener, connection, peer name and decides), then hands each
    /// chunk to `received`; a connection found closed is closed. Stops when the socket changes.
    void Drain(bool passive,
               const std::function<void(const std::shared_ptr<TAVSocket>&, const std::shared_ptr<TAVSocket>&,
                                        const std::shared_ptr<TAVSockAddr>&)>& accept,
               const std::function<void(const std::shared_ptr<TAVSocket>&, const Variant&)>& received);
    /// After a download chunk was handled: fewer wake-ups while data pours in.
    void AfterDownloadRead(size_t got);

    // ---- The in-memory buffer of a listing or a download without a local file ----------------
    /// Adds bytes; false (nothing added) when the buffer would pass its cap. Memory held stays
    /// within the cap and a few pieces: once the buffer is large its room for the whole cap is
    /// taken at once instead of doubling past it.
    bool Collect(const uint8_t* data, size_t n);
    std::string& Buffer() noexcept { return buffer_; }
    /// Empties the buffer and gives its memory back.
    void ClearBuffer() noexcept;
    /// The cap, 1 GiB by default.
    size_t MaxBuffer() const noexcept { return maxBuffer_; }
    void MaxBuffer(size_t bytes) noexcept { maxBuffer_ = bytes; }

    // ---- Store -------------------------------------------------------------------------------
    using Reader = std::function<int64_t(uint8_t*, size_t)>;
    enum class Pump {
        Finished,  // everything handed over and sent; the upload can end
        Waiting,   // the next write notification goes on (or the connection changed meanwhile)
        Failed,    // the socket or the TLS channel failed
        FileFailed // the local file could not be read as far as it was said to be long
    };
    /// Sends what `read` gives while the socket takes it whole; `remaining` counts down, `sent`
    /// up, both in blocks of 4096 bytes: a block counts once handed over, and the next only
    /// once the socket took all before it (plain data goes out in pieces of 256 KiB, counted
    /// as if block by block). Over TLS waits for the handshake, sends a record per block and
    /// ends with close_notify. `progress` runs after each step.
    Pump SendBlocks(const Reader& read, int64_t& remaining, int64_t& sent, const std::function<void()>& progress);
    static constexpr int64_t kStoreBlock = 4096;
    static constexpr size_t kStorePiece = 256 * 1024;

    // ---- TLS -----------------------------------------------------------------------------------
    /// Makes the connection a TLS connection over `channel` (made to resume the control
    /// connection's session, not yet started), and sends the ClientHello. "" or why it failed.
    std::string StartTls(std::unique_ptr<TlsChannel> channel);
    const std::shared_ptr<TlsChannel>& Tls() const noexcept { return tls_; }
    enum class TlsReceived { Plain, HandshakeDone, Closed, Failed };
    /// Bytes received over TLS: the plain ones go to `plain`; answers go out. After Closed the
    /// close_notify was answered. Failed: `error` says why.
    TlsReceived ReceiveTls(const ByteArray& bytes, const std::function<void(const uint8_t*, size_t)>& plain,
                           std::string& error);

private:
    // One step of SendBlocks: Finished when the step went out whole.
    Pump SendSealedBlock(TlsChannel& tls, const Reader& read, int64_t& remaining, int64_t& sent,
                         const std::function<void()>& progress);
    Pump SendPlainPiece(const Reader& read, int64_t& remaining, int64_t& sent, const std::function<void()>& progress);
    static Pump PumpOf(SendOutcome outcome) noexcept;

    TavTCPSocketMgr& tcp_;
    std::shared_ptr<TAVSocket> socket_;   // active: listening until accepted; or null
    bool accepted_ = false;
    std::shared_ptr<TlsChannel> tls_;     // with socket_, while the session is secured
    std::unique_ptr<ReceiveBatching> batching_;
    std::string buffer_;
    std::vector<uint8_t> piece_;  // the store's read buffer, kept for the upload
    int64_t uncounted_ = 0;       // bytes of a piece the socket holds, not yet counted as sent
    bool readFailed_ = false;     // the local file came up short; fail once its blocks are out
    size_t maxBuffer_ = size_t{1} << 30;
};

}  // namespace tav
