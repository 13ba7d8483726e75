// The HTTP transfer manager: one HTTP/1.0 request at a time, driven by events.
#pragma once

#include <tavsock/Event.hpp>
#include <tavsock/ITavHTTPNotify.hpp>
#include <tavsock/Object.hpp>
#include <tavsock/Types.hpp>
#include <tavsock/Variant.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace tav {

/// One HTTP/1.0 request at a time over a private TavTCPSocketMgr. Execute/Execute2 return at
/// once; the look-up of the host (in the background), the connection, the request, the
/// response and the end are driven by the queue. The response ends when the server closes the
/// connection, or as soon as the body reached its Content-Length (the connection is then
/// closed: a server that keeps it open is not waited for). The answer to HEAD, and a 204,
/// end with their header block. Interim answers (100 Continue) are skipped. A chunked body
/// ("Transfer-Encoding: chunked", which some servers send even to HTTP/1.0) is decoded as it
/// arrives: the byte counts, HTTPDataTransferred, the file and HTTPDataReceived carry the
/// decoded body, which ends with its last chunk (ContentLength() is -1 then). Redirections and
/// authentication are the host's business.
/// The body is delivered whole at the end (HTTPDataReceived, as text or bytes), or written to
/// an output file as it arrives (nothing of it is held then). While a body pours in, it is
/// read in pieces of up to 256 KiB (the thread wakes once per piece, not per segment), so
/// HTTPDataTransferred comes in such steps; bytes of a server that slows down arrive at most
/// about 50 ms late.
///
/// Notifications go to CallbackObject when one is set, else out as the events below; never
/// both. Whatever a receiver throws is absorbed.
///
/// HTTPObjectError codes:
///  - 1: the host name could not be resolved (look-up error, or no address), or an IPv6
///       address's zone names no interface of this machine;
///  - 3: no socket, the connect failed at once, or the request could not be sent;
///  - 4: a response whose framing is broken: more body bytes than Content-Length + 4, a
///       header block that does not end within 100 KiB (a peer cannot make the header buffer
///       grow without bound), more than 16 interim answers, a malformed chunked body or one
///       that ends before its last chunk; the request then ends like an HTTP error (output
///       file deleted, HTTPReady 0);
///  - 5: the TCP manager reported a socket error. A connect that failed (refused, unreachable)
///       leaves no connection: the request then ends like code 4 (for a host name with
///       several addresses, once the last of them failed). Later (a reset in the middle
///       of the body) the close that follows ends the request with what came; compare
///       BytesReceived with ContentLength;
///  - 6: Timeout: no progress for Timeout milliseconds; ends like code 4;
///  - 7: the output file could not be written (disk full, a closed pipe); ends like code 4;
///  - 8: an https request could not be secured: the server's certificate was refused
///       (expired, for another host, from an unknown issuer), the TLS handshake failed or did
///       not finish within TLSHandshakeTimeout, the server closed the connection during it, or
///       a proxy's answer to CONNECT was unusable. TLSError() says which. Ends like code 4.
///
/// How a request ends. Every request started without a raised error ends in exactly one of
/// these ways, with the manager Idle before the notification arrives (a receiver may start
/// the next request there):
///  - HTTPReady 0, the last notification of a request that reached the server or failed on
///    the way: after the body (HTTPDataReceived first, without an output file), an HTTPError,
///    or HTTPObjectError 4, 5 (a failed connect), 6, 7 or 8;
///  - HTTPObjectError 1 (no address for the host) or 3 (no connection could be started),
///    with no HTTPReady after it;
///  - Reset, which notifies nothing.
/// Each failure among these handles the output file alike (below: the new file deleted, or
/// with ReplaceWhenComplete the old one kept); Reset keeps what was written. Without a Timeout a server that accepts the connection
/// and never answers holds the request: set one.
///
/// Output file. The name is never a danger to the machine, even for root:
///  - /dev/stdout, /dev/stderr, /dev/fd/N, /proc/self/fd/N: the process's own descriptor is
///    written through a duplicate (its offset and append mode hold); never truncated, never
///    deleted;
///  - a device (/dev/null, a terminal), a FIFO or a socket: opened for writing as it is, never
///    truncated nor deleted; a FIFO without a reader fails at once (library error 3);
///  - a directory: library error 3;
///  - anything else (absent, a regular file, a symbolic link): replaced by a new file, made
///    under a unique hidden name in the same folder and renamed over the name. That is what
///    deleting and creating it would give (a link is replaced, not followed), without a
///    moment in which another name can be planted there. Without ReplaceWhenComplete the
///    rename comes at once, and a failure (HTTP error, object errors 4, 6, 7, 8) deletes the
///    new file while the name still refers to it; with ReplaceWhenComplete it comes when the
///    response is complete, and until then the name keeps what it held, byte for byte, which
///    is all that is left after a failure or Reset.
/// Reset closes the file and keeps what was written (without ReplaceWhenComplete).
/// OutputFileError() gives the system's reason when the file could not be opened (library
/// error 3) or written (HTTPObjectError 7).
///
/// IPv6. A URL or proxy names an IPv6 address in brackets ("http://[::1]:8080/",
/// "[2001:db8::1]:3128"); the connection is then made over IPv6, and the Host line and
/// CONNECT carry the brackets ("Host: [::1]:8080"). A link-local address may name its zone,
/// its "%" encoded as in any URL ("[fe80::1%25eth0]"); the zone picks the interface and is
/// never sent. A host name is looked up for addresses of both families and connected to at
/// each in turn, IPv4 first, until one accepts: a name with IPv6 addresses only is reached,
/// and a name whose first address refuses is tried at the next.
///
/// Decisions where the behaviour had room:
///  - A connection that cannot be started (no socket, or the connect failing at once), after a
///    host-name look-up as well as from Execute2, notifies HTTPObjectError 3 and returns the
///    request to Idle: no request is left that only Reset can clear. A socket-creation failure inside Execute2 is raised to its caller.
///  - The request is handed to the socket's Send once. What the kernel does not take at once
///    stays pending in the socket and is flushed on its write notifications; only a send that
///    fails (an error other than 10035) gives HTTPObjectError 3 and Reset.
///
/// Encryption. An "https://" URL (port 443 unless it names one) is fetched over TLS 1.2 or
/// later. The server's certificate must chain to a trusted authority (the system's store, or
/// only TLSCAFile/TLSCAFolder when one is set) and name the URL's host (a DNS name, or an
/// IPv4 or IPv6 address as an IP entry, never matched as a name); otherwise the request ends with HTTPObjectError 8 before
/// a byte of the request is sent. Through a Proxy the manager asks for a tunnel (CONNECT
/// host:port) and speaks TLS to the server through it; the request line then carries the
/// path only. The handshake advances in the TCP manager's events like everything else. The
/// server's TLS close_notify ends the response as a close does (ours answers it and the
/// connection is closed: servers that wait for it are not kept waiting). A close without a
/// close_notify ends it too: compare BytesReceived with ContentLength to tell a whole body
/// from a cut one.
///
/// Thread rule: everything runs on the creating thread, while it runs its message queue.
/// Receivers may call Reset, start the next request from HTTPReady, or let go of the manager.
/// Creatable ("TAVSock.TavHTTPTransferMgr").
class TavHTTPTransferMgr : public Object {
public:
    /// A new, Idle manager with its TCP manager (InternalEarlyBound true).
    static std::shared_ptr<TavHTTPTransferMgr> Create();
    ~TavHTTPTransferMgr() override;
    std::string TypeName() const override { return "TavHTTPTransferMgr"; }

    /// Request states, as RequestState() reports them.
    /// Tunnelling: waiting for a proxy's answer to CONNECT (https through a proxy);
    /// Handshaking: the TLS handshake of an https request runs.
    enum : int32_t { Idle = 0, Resolving = 1, Connecting = 2, AwaitingResponse = 3, Tunnelling = 4, Handshaking = 5 };
    /// The added HTTPObjectError codes (see above).
    static constexpr int32_t kObjectErrorTimeout = 6;
    static constexpr int32_t kObjectErrorWrite = 7;
    static constexpr int32_t kObjectErrorTLS = 8;
    /// Largest response header block, CR LF CR LF included.
    static constexpr size_t kMaxHeaderBytes = 100 * 1024;

    // ---- Events, in dispatch-identifier order ----------------------------------------------

    /// (DataReceived): the whole body, text or bytes per RetrieveMode; may be moved out.
    Event<Variant&> HTTPDataReceived;
    /// (ByteCount): body bytes received so far (saturated at the largest Long).
    Event<int32_t> HTTPDataTransferred;
    /// (code): a failure on the library side (codes above).
    Event<int32_t> HTTPObjectError;
    /// (code): the request is over; always 0.
    Event<int32_t> HTTPReady;
    /// (ErrCode, errdesc): a status other than 2xx (1xx and 3xx included) and its reason.
    Event<const std::string&, const std::string&> HTTPError;

    // ---- Properties --------------------------------------------------------------------------

    std::shared_ptr<ITavHTTPNotify> CallbackObject() const;
    void CallbackObject(std::shared_ptr<ITavHTTPNotify> callback);

    /// The last URL assigned. A new value forgets the resolved address; without a proxy it is
    /// parsed at once ("http://" or "https://" optional, any case; host, optional ":port",
    /// path), raising library error 4 when malformed (the value stays assigned): empty after
    /// the scheme, a port above 65535, a control character anywhere (CR, LF, NUL, any byte
    /// below 0x20, 0x7F: they would become request syntax), a space or a byte above 0x7E in
    /// the host, an IPv6 address without brackets or anything but one inside them. A space
    /// or a byte above 0x7E in the path is sent percent-encoded ("%20"); a fragment ("#...")
    /// is never sent. With a proxy the whole URL, so checked and encoded, becomes the request
    /// target.
    const std::string& URL() const noexcept;
    void URL(const std::string& value);

    /// "host[:port]" (optional "http://", no path; an IPv6 address in brackets, "[::1]:3128")
    /// of a proxy, or "" (the default). A new value is parsed at once (library error 4 when
    /// malformed, as for URL); requests then go to the proxy with the whole URL in the
    /// request line.
    const std::string& Proxy() const noexcept;
    void Proxy(const std::string& value);

    /// TAVRetrieveText (default) or TAVRetrieveByteArray; another value raises library
    /// error 1 and changes nothing.
    int32_t RetrieveMode() const noexcept;
    void RetrieveMode(int32_t value);

    /// The response header block of the current or last response, from the status line to
    /// the empty line that ends it (while it arrives: what came so far).
    const std::string& HTTPHeader() const noexcept;

    /// Milliseconds without progress (look-up, connect, bytes received) after which a request
    /// ends with HTTPObjectError 6; 0 (the default) waits for ever. Checked about four times
    /// per period, so the end comes between Timeout and 1.25 x Timeout. Negative raises
    /// library error 1 and keeps the value (as for every time limit of the transfer clients).
    int32_t Timeout() const noexcept;
    void Timeout(int32_t ms);

    /// The Content-Length the current or last response announced; -1 while none was (no such
    /// header, or the header block has not ended). 64-bit so bodies past 2 GiB are told right.
    int64_t ContentLength() const noexcept;
    /// Body bytes received by the current or last request (64-bit, as ContentLength). A body
    /// that stops early still ends in HTTPReady: compare the two to tell it from a whole one.
    int64_t BytesReceived() const noexcept;

    /// False (default): an output file given by name replaces the name as the request starts.
    /// True: it replaces the name only once the response is complete (see Output file above):
    /// a body that stops short of its Content-Length, or is cut by a reset, leaves the name
    /// as it was, though the request ends with HTTPReady as such a body does.
    bool ReplaceWhenComplete() const noexcept;
    void ReplaceWhenComplete(bool value) noexcept;
    /// 0 (the default): an output file is written from its start. N > 0 resumes a download
    /// that stopped after N bytes: the output file must be a regular file (not a link) of
    /// exactly N bytes (else library error 3), the request asks for "Range: bytes=N-", and a
    /// 206 answer whose Content-Range starts at N is added to the file's end (kept as far as
    /// it came, should the request fail); a 200 (a server without ranges) replaces the file
    /// with the whole body as without RestartAt; a 206 of another range is object error 4.
    /// A "416 Range Not Satisfiable" whose Content-Range is "bytes */N" (the resource is N
    /// bytes: the file is already whole) ends the request with HTTPReady and no HTTPError,
    /// nothing written; HTTPHeader shows the 416. Another 416 is an HTTPError like any.
    /// Counts and ContentLength are those of the answer. Applies to requests with an output
    /// file; negative raises library error 1.
    int64_t RestartAt() const noexcept;
    void RestartAt(int64_t offset);
    /// Why the output file of the current or last request failed, in the system's words
    /// ("cannot write out.bin: No space left on device"); "" when it did not.
    const std::string& OutputFileError() const noexcept;

    /// Where the current or last response sends the request (3xx): its Location resolved
    /// against URL() into an absolute "http://" or "https://" URL, "." and ".." segments and
    /// the fragment taken out. "" when it named none, or one that cannot be followed (another
    /// scheme, no host, control characters). Following it is the host's choice.
    std::string RedirectURL() const;

    /// The User-Agent line sent with each request: "tavsock/<version>" by default, "" for
    /// none. Not sent with a request whose Headers hold a User-Agent line (name in any case):
    /// the host's own is the only one. A control character (CR, LF, ...) raises library
    /// error 1 and keeps the value.
    const std::string& UserAgent() const noexcept;
    void UserAgent(const std::string& value);

    /// 0 Idle, 1 Resolving, 2 Connecting, 3 AwaitingResponse, 4 Tunnelling, 5 Handshaking.
    int32_t RequestState() const noexcept;

    // ---- Encryption (https) --------------------------------------------------------------------

    /// A PEM file of certificate authorities to trust instead of the system's store; "" (the
    /// default) for the system's. Read at the next request's handshake; an unreadable file
    /// ends that request with HTTPObjectError 8.
    const std::string& TLSCAFile() const noexcept;
    void TLSCAFile(const std::string& path);
    /// A folder of certificate authorities named by their hashes (as `openssl rehash` makes
    /// it), trusted instead of the system's store; "" (the default) for none.
    const std::string& TLSCAFolder() const noexcept;
    void TLSCAFolder(const std::string& path);
    /// True turns off every check of the server's certificate (issuer, dates, host name):
    /// the connection is then encrypted but anyone in the path can read it. False (the
    /// default) is what almost every use wants; this is for test servers only.
    bool DangerouslyAcceptAnyCertificate() const noexcept;
    void DangerouslyAcceptAnyCertificate(bool value);
    /// Milliseconds a CONNECT answer and the TLS handshake together may take before the
    /// request ends with HTTPObjectError 8; 0 waits for ever (then only Timeout limits it).
    /// 30,000 by default, so a server that accepts and never answers cannot hold a request
    /// even with no Timeout. Negative raises library error 1.
    int32_t TLSHandshakeTimeout() const noexcept;
    void TLSHandshakeTimeout(int32_t ms);
    /// Why the current or last request could not be secured ("" when it could or was not
    /// https), e.g. "the server's certificate has expired".
    const std::string& TLSError() const noexcept;
    /// Protocol version ("TLSv1.3") and cipher suite of the current or last https request;
    /// "" before its handshake finished.
    const std::string& TLSVersion() const noexcept;
    const std::string& TLSCipher() const noexcept;

    // ---- Methods -----------------------------------------------------------------------------

    /// Starts a request and returns at once: 0, or the Windows Sockets error when the
    /// background look-up could not start (the request is then Idle). Raises library error 2
    /// while a request runs (which is left untouched), 4 for a malformed URL; once OutputFile
    /// is named, any failure is raised as library error 3 instead. A non-empty URL is assigned
    /// first; the same URL and proxy as before reuse the resolved address. With Data, the
    /// request carries it as a body of type ContentType, announced two bytes longer than Data
    /// for the CR LF that follows it. Headers are extra header lines (CR LF separated).
    int32_t Execute2(const std::string& URL = "", const std::string& Operation = "GET", const std::string& Data = "",
                     const std::string& Headers = "", const std::string& OutputFile = "",
                     const std::string& ContentType = "application/x-www-form-urlencoded");
    /// Execute2 with ContentType "application/x-www-form-urlencoded".
    int32_t Execute(const std::string& URL = "", const std::string& Operation = "GET", const std::string& Data = "",
                    const std::string& Headers = "", const std::string& OutputFile = "");
    /// Abandons the current request without a notification: the look-up is cancelled, the
    /// output file closed (and kept), the socket destroyed; Idle.
    void Reset();

private:
    struct Impl;  // transfer/HttpTransferMgrImpl.hpp
    TavHTTPTransferMgr();

    std::unique_ptr<Impl> mImpl;
};

}  // namespace tav
