// The FTP client: one session with one server, driven by the server's replies.
#pragma once

#include <tavsock/Event.hpp>
#include <tavsock/ITavFTPNotify.hpp>
#include <tavsock/Object.hpp>
#include <tavsock/TAVHostInfo.hpp>
#include <tavsock/TAVSocket.hpp>
#include <tavsock/TavTCPSocketMgr.hpp>
#include <tavsock/Variant.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tav {

/// An FTP client for one server at a time, over a private TavTCPSocketMgr. Every method
/// returns at once; the session advances while the owning thread runs its message queue,
/// driven by the server's replies on the control connection, and reports through six
/// notifications (to CallbackObject when set, else as events; never both).
///
/// Session: Connect resolves the site in the background when it is not a dotted address,
/// connects the control connection (to an IPv6 address when the site is one or names no IPv4
/// address; see PassiveMode for the data connections then) and logs in: USER goes out as
/// soon as the connection is up (without waiting for the greeting), PASS after the next
/// reply, ACCT after the reply to PASS when a reply line carried 332 or Account is set. The
/// end of the login is FTPReady 0.
/// Reply codes of the login are not looked at: any reply that is not 5xx or 421 moves it on.
/// So a greeting that arrives on its own counts as the reply to USER, and the login ends one
/// reply early; the last reply then arrives while Ready, where only a 5xx one has an effect.
/// Set PairReplies (below) to keep replies and commands in step.
///
/// Replies: the control connection's bytes are cut into lines at CR LF (a bare LF does not end
/// a line); all complete lines present form one processing pass, handled at once by the state
/// machine. A line whose fourth character is "-" opens a multi-line reply that runs to the next
/// line starting with the same code and no hyphen (so "220-" lines continue a greeting) and
/// becomes one reply line; one left unfinished by a pass is not continued. Any 5xx line returns the
/// session to Ready with one FTPError per such line and no FTPReady; a 421 line ends the
/// session (FTPObjectError 4, then Reset).
///
/// Object errors (FTPObjectError codes):
///   1  the host name could not be resolved;
///   2  the control connection failed at once after the look-up;
///   3  a command could not be sent, a data connection could not be set up, or the control
///      connection failed while connecting (the session is then Reset);
///   4  a 421 reply, the control connection lost (closed or reset by the server in any state
///      but Disconnected), a reply line of more than 1 MiB, or a socket error while storing;
///      the session is Reset except for the socket error while storing;
///   5  Timeout: nothing came from the server for Timeout milliseconds while an operation was
///      pending (session Reset);
///   6  the local file could not be written (retrieve) or read (store) during a transfer
///      (session Reset: the server must not keep a partial upload as complete, and a half-read
///      data connection cannot be resynchronised);
///   7  UseTLS: the session could not be secured: the server refused AUTH TLS, PBSZ or PROT,
///      its certificate was refused (expired, another host, unknown issuer), a handshake
///      (control or data connection) failed or did not finish within TLSHandshakeTimeout.
///      TLSError() says which; the session is Reset;
///   8  a listing or an in-memory retrieve passed its cap of 1 GiB (session Reset). The memory
///      held stays within the cap and a few MiB.
///
/// How an operation ends. Every operation (a login, a directory change, a transfer, a type
/// change while pairing replies) ends with exactly one of these, and a host that waits for
/// the end waits for them only:
///   - FTPReady: done, or ended by a reply the session reports with FTPError first (a 4xx or
///     3xx to a transfer command, a 331 to PASV);
///   - FTPError whose ErrCode begins with "5": refused; the session is Ready, no FTPReady
///     follows (one FTPError per 5xx line of the reply);
///   - FTPObjectError, any code: failed; the session is Ready (3) or Reset (the others).
/// Other FTPError notifications (a 331 to PORT) report a line of an operation that goes on.
/// A 4xx reply to PASV or PORT ends nothing: the session waits, and Timeout ends the wait.
///
/// Library error 4 (kErrCommandText, "Command argument contains CR, LF or NUL"): a text that
/// would become part of a command holds CR, LF or NUL, which would end the command line
/// early and let the text's author add commands of their own. Raised, with nothing sent and
/// the session unchanged, by chDir, NameList, List, Retrieve and Store (the server's name),
/// by User and Account when they send at once (User checks the password and account the new
/// login sends too), and by Connect for the site, User, Password and Account. Commands the
/// library builds are checked again where they are written, and such a command is never sent.
///
/// Encryption (UseTLS True): explicit FTP over TLS. After the greeting the client sends
/// AUTH TLS and, on 234, makes the control connection a TLS connection, checking the server's
/// certificate against the trusted authorities (the system's, or TLSCAFile/TLSCAFolder) and
/// the name given to Connect; then it logs in (nothing, the password included, goes out in
/// clear), sends PBSZ 0 and PROT P, and is Ready. Every data connection is a TLS connection
/// too, resuming the control connection's session (servers that require it, such as vsftpd
/// with require_ssl_reuse, refuse others); an upload ends with close_notify. Sessions use
/// TLS 1.2: vsftpd 3.0.3 (Debian 12) answers uploads over TLS 1.3 with 426.
///
/// Downloads (listings, Retrieve): while data pours in, the data connection is read in pieces
/// of up to 256 KiB (the thread wakes once per piece, not per segment), so FTPDataTransferred
/// comes in such steps; bytes of a server that slows down arrive at most about 50 ms late.
///
/// Library errors raised to the caller: 1 Port outside 1..65535; 2 PassiveMode changed
/// outside Disconnected, chDir/chDirParent/NameList/List/Retrieve/Store outside Ready, Abort
/// while Disconnected or Ready; 3 a local file that cannot be opened or read by Retrieve or
/// Store, or a Store of an empty file. Creating the control socket (construction, Reset,
/// Disconnect) can raise the TCP manager's library error.
///
/// Decisions where the classic behaviour left room or could leave a host stuck:
///   - A lost control connection ends the session like a 421 (FTPObjectError 4, Reset), so a
///     host never waits forever on a connection that is gone. The last bytes the server sent
///     before closing are processed first (a final 421 then reports once).
///   - The reply buffer is bounded: 1 MiB without CR LF ends the session as above instead of
///     growing without bound. Lines up to that size are handled normally.
///   - Reset also forgets text of the old connection still waiting in the reply buffer, so it
///     cannot be taken for a reply of the next session.
///   - A control connection that fails while connecting (refused, unreachable) gives
///     FTPObjectError 3 and a Reset, instead of leaving the session Connecting forever.
///   - Timeout, PairReplies, PassiveAddressFromReply, CheckDataPeer, ByteCount and
///     AnnouncedSize are additions; their defaults keep the classic behaviour.
///
/// Transfers: NameList/List collect the listing in memory and deliver it when the final
/// 2xx reply comes; Retrieve writes each chunk to the local file as it arrives (or collects
/// it in memory) and ends on the 2xx reply and the end of the data connection, in either
/// order; Store reads and sends the local file as many 4096-byte blocks as the socket takes,
/// never the whole file at once. A data connection still open when the next transfer
/// starts is used again without PASV or PORT. A 4xx reply to PASV or PORT changes nothing:
/// the session waits in PasvSent or PortSent until Reset (or Timeout ends it); any other
/// reply to PORT but 5xx or 421 sends the transfer command. Decisions:
///   - Nothing the server sent is lost: when the final reply of a listing or retrieve comes
///     before the data connection was read to its end, what already waits on it is read first,
///     and a data connection found closed then is dropped (not used again).
///   - Local files (the same rules as the HTTP client's output file): Retrieve writes a new
///     file made under a unique name in the same folder, never through a link, which takes
///     the name at once (a link planted there is replaced, not followed) or, with
///     ReplaceWhenComplete, only when the retrieve completed. Descriptor names (/dev/stdout,
///     /dev/fd/N) are written through a duplicate of the process's descriptor, so an append
///     stays an append; devices and FIFOs are written as they are and never deleted; opening
///     never blocks (a FIFO without a reader fails with library error 3). Only a file this
///     transfer created is ever deleted. Store reads regular files only; a Store without a
///     local file name raises library error 3 like an empty file. LocalFileError says why.
///   - A 4xx or 3xx reply to RETR, or a 5xx one, deletes the file the retrieve created; to
///     STOR the local file is kept; to NLST or LIST a 4xx or 3xx ends the listing (no 2xx
///     follows it) without FTPDataReceived. A 5xx reply returns to Ready without FTPReady; the
///     data connection stays for the next transfer.
///   - A 227 reply without parentheses is read from its first digit on; one that does not
///     hold six numbers (with StrictPassiveReply: six numbers 0..255), like a data connection
///     that cannot be made or a creation that fails, gives FTPObjectError 3 and Ready (from a
///     transfer method: its result, or the creation's library error, as library error 3 when
///     a local file was named).
///   - Store reads and sends the file 256 KiB at a time (one read and one send each), yet
///     ByteCount and FTPDataTransferred move in 4096-byte blocks, as if each block were handed
///     over only once the socket took all before it: the count covers every block up to the
///     one holding the first byte the stack did not take. Over TLS a block is sent per record.
///   - Store data never waits inside the socket's send retries: what the stack cannot take at
///     once is kept by the socket and goes out on the next write notification, which also
///     brings the next blocks. The upload ends (the data connection is closed) only once the
///     socket holds nothing back.
///   - A local file that cannot be written or read in the middle of a transfer ends the
///     session (FTPObjectError 6, Reset; the file kept as far as it got).
///
/// Creatable ("TAVSock.TavFTPTransferMgr"). Thread rule: use it on the creating thread. A
/// notification receiver may call any member (Reset, a new command) and may let go of the
/// manager; the manager holds itself for the length of each dispatch and stops working on a
/// session that was Reset during a notification.
class TavFTPTransferMgr : public Object {
public:
    /// A new manager: TCP manager created (InternalEarlyBound True), control socket created,
    /// User "Anonymous", PassiveMode True, Port 21, Disconnected.
    static std::shared_ptr<TavFTPTransferMgr> Create();
    ~TavFTPTransferMgr() override;
    std::string TypeName() const override { return "TavFTPTransferMgr"; }

    // ---- Events (dispatch ids 1..6), raised only while CallbackObject is not set -----------

    /// (code): see the codes above.
    Event<int32_t> FTPObjectError;
    /// (ErrCode, errdesc): a negative reply; errdesc keeps its leading space or hyphen.
    Event<const std::string&, const std::string&> FTPError;
    /// (code): the operation is finished and the session Ready; code is always 0.
    Event<int32_t> FTPReady;
    /// (DataReceived): a listing or an in-memory retrieve, the manager's buffer by reference.
    Event<std::string&> FTPDataReceived;
    /// (ByteCount): bytes written (retrieve to a file), characters collected (in memory) or
    /// bytes handed to the data connection (store). Wraps beyond 2 GiB, as a Long does.
    /// During a store it is raised as this event even when CallbackObject is set (the classic
    /// component did so); the callback gets the progress of retrieves only.
    Event<int32_t> FTPDataTransferred;
    /// (Sent, Line): the control dialogue, line by line and in order, for logs and verbose
    /// tools; it ends and changes nothing. Sent true: a command, raised just before it goes
    /// out (so before any reply to it), the argument of PASS and ACCT shown as "****". Sent
    /// false: a reply line as cut from the connection (each line of a multi-line reply, and
    /// lines the session ignores), before the session acts on its reply. Without CR LF; reply
    /// text is the server's, unescaped: escape it before it reaches a terminal. A receiver may
    /// Reset: a command is then not sent, and the rest of the pass is not handled.
    Event<bool, const std::string&> FTPControlLine;

    // ---- Properties --------------------------------------------------------------------------

    /// Receives the notifications instead of the events when set. Held by the manager.
    const std::shared_ptr<ITavFTPNotify>& CallbackObject() const noexcept;
    void CallbackObject(std::shared_ptr<ITavFTPNotify> value);

    /// Default "Anonymous". Stored only while Disconnected, during the connection set-up, or
    /// Ready (ignored otherwise); while Ready it starts a new login at once with USER (send
    /// failure: FTPObjectError 3).
    const std::string& User() const noexcept;
    void User(const std::string& value);

    /// Write-only, default empty; sent with PASS during the login.
    void Password(const std::string& value);

    /// Default empty. Stored like User; while Ready it sends ACCT at once. A non-empty
    /// Account is sent during every login, asked for or not.
    const std::string& Account() const noexcept;
    void Account(const std::string& value);

    /// 0 Disconnected, 1 Ready, 2 anything in between.
    int16_t State() const noexcept;

    /// True (default): PASV data connections; False: PORT, the server connects to us. May be
    /// changed only while Disconnected (else library error 2). Over an IPv6 control
    /// connection EPSV and "EPRT |2|address|port|" take their places, with the same states
    /// and the same meaning of every reply; a 229 reply gives only the port (the data
    /// connection goes to the control connection's peer) and one that is not exactly
    /// "(|||port|)" with one printable delimiter other than a digit and a port 1..65535 is
    /// malformed (FTPObjectError 3, Ready).
    bool PassiveMode() const noexcept;
    void PassiveMode(bool value);

    /// The server's control port, 1..65535 (else library error 1, not stored). Default 21.
    int32_t Port() const noexcept;
    void Port(int32_t value);

    /// Milliseconds without progress while an operation is pending (any state but
    /// Disconnected and Ready), after which the session ends with FTPObjectError 5 and Reset.
    /// Progress is a complete reply that moves the operation on, a command sent, or bytes (or a
    /// connection) on the data connection; so an endless multi-line reply, a run of 1xx replies
    /// or text trickling in without a line end does not count. 0 (default) waits forever.
    /// Checked four times per period, so the end comes between Timeout and 1.25 Timeout after
    /// the last progress. A negative value raises library error 1 and is not stored.
    int32_t Timeout() const noexcept;
    void Timeout(int32_t ms);

    /// False (default): the classic pairing of replies and commands. True keeps every reply
    /// with the command it answers, for servers on fast links where the greeting and the
    /// first reply arrive apart: USER waits for the greeting (the session rests in Connected,
    /// 4, until it comes; a 1xx greeting is waited past), and Ascii/Binary sent while Ready
    /// wait for their reply like chDir (FTPReady 0 when it comes). The session is also Ready
    /// before the FTPReady of a login (or of a PORT reply with nothing pending), as after
    /// every other completion, so a command may be issued from inside it.
    bool PairReplies() const noexcept;
    void PairReplies(bool value);

    /// True (default): a passive data connection goes to the address and port of the 227
    /// reply (a 229 reply names no address: its port is always on the peer). False: only the
    /// port is taken from it and the connection goes to the control connection's peer, as for
    /// servers behind address translation or servers that point the client at a third host.
    bool PassiveAddressFromReply() const noexcept;
    void PassiveAddressFromReply(bool value);

    /// False (default): the first connection to the active-mode data port is taken. True: a
    /// connection from any address but the control connection's peer is closed at once and
    /// the port keeps listening, so a third party can neither feed nor steal the data.
    bool CheckDataPeer() const noexcept;
    void CheckDataPeer(bool value);

    /// False (default): a 227 reply's numbers are read as the classic component read them
    /// ("4095" is taken and the port wraps to 16 bits). True: a 227 reply whose text does not
    /// hold exactly six plain decimal numbers 0..255 is malformed, like one without six
    /// numbers (FTPObjectError 3, Ready).
    bool StrictPassiveReply() const noexcept;
    void StrictPassiveReply(bool value);

    /// False (default): Retrieve writes into the local file as it is, from its start. True: a
    /// regular file (or a name not yet taken) is written under a new unique name in the same
    /// folder and renamed over the name only when the retrieve completed; on any failure the
    /// old file stays byte for byte and the new one is removed. Devices, FIFOs and descriptor
    /// names (/dev/stdout) are written in place either way.
    bool ReplaceWhenComplete() const noexcept;
    void ReplaceWhenComplete(bool value);

    /// 0 (default): Retrieve fetches the whole file. N > 0: Retrieve resumes a download that
    /// stopped after N bytes: the local file must be a regular file of exactly N bytes (else
    /// library error 3, LocalFileError says why), "REST N" goes before RETR and what follows
    /// is added to the file's end (ReplaceWhenComplete does not apply). A 350 reply goes on;
    /// any other reply ends the operation (FTPError, then FTPReady for a 2xx, 3xx or 4xx).
    /// Negative values raise library error 1. Applies to every Retrieve until changed.
    int64_t RestartAt() const noexcept;
    void RestartAt(int64_t value);

    /// Why the local file of the last transfer failed, in the system's words ("cannot write
    /// out.bin: No space left on device"); "" when it did not. Set with library error 3 and
    /// FTPObjectError 6.
    const std::string& LocalFileError() const noexcept;

    /// False (default): plain FTP. True: explicit FTP over TLS (above). May be changed only
    /// while Disconnected (else library error 2).
    bool UseTLS() const noexcept;
    void UseTLS(bool value);
    /// Trusted authorities instead of the system's store: a PEM file, or a folder of hashed
    /// names (`openssl rehash`); "" (default) for none. Read at the next Connect.
    const std::string& TLSCAFile() const noexcept;
    void TLSCAFile(const std::string& path);
    const std::string& TLSCAFolder() const noexcept;
    void TLSCAFolder(const std::string& path);
    /// True turns off every check of the server's certificate; for test servers only.
    bool DangerouslyAcceptAnyCertificate() const noexcept;
    void DangerouslyAcceptAnyCertificate(bool value);
    /// Milliseconds the AUTH TLS exchange and a handshake (control or data connection) may
    /// take before the session ends with FTPObjectError 7; 0 waits for ever. 30,000 by
    /// default, so a stalled handshake ends even without a Timeout. Part of the same watchdog
    /// as Timeout: the limit runs from the greeting wait (or the data connection's handshake)
    /// and counts the whole set-up. A negative value raises library error 1 and is not stored.
    int32_t TLSHandshakeTimeout() const noexcept;
    void TLSHandshakeTimeout(int32_t ms);
    /// Why the session could not be secured ("" when it could or did not try).
    const std::string& TLSError() const noexcept;
    /// Protocol version and cipher suite of the control connection ("" before its handshake).
    const std::string& TLSVersion() const noexcept;
    const std::string& TLSCipher() const noexcept;

    /// Bytes of the current or last Retrieve (written or collected) or Store (handed to the
    /// data connection), without the wrap of FTPDataTransferred.
    int64_t ByteCount() const noexcept;

    /// The size the server announced for the current or last Retrieve in its preliminary
    /// reply ("150 ... (N bytes)"), or -1 when it announced none.
    int64_t AnnouncedSize() const noexcept;

    // ---- Methods -----------------------------------------------------------------------------

    /// Lists names ("NLST [Directory]") / the long form ("LIST [Directory]"). Ready only.
    /// Returns 0 when started; FTPDataReceived with the listing, then FTPReady 0.
    int32_t NameList(const std::string& Directory = "");
    int32_t List(const std::string& Directory = "");
    /// "CWD Directory". Ready only (else library error 2). Returns the send result (0 sent).
    int32_t chDir(const std::string& Directory);
    /// "CDUP", as chDir.
    int32_t chDirParent();
    /// Downloads SourceFile ("RETR"): into HostFileName when given, else in memory and
    /// delivered through FTPDataReceived. Ready only.
    int32_t Retrieve(const std::string& SourceFile, const std::string& HostFileName = "");
    /// Uploads HostFileName as SourceFile ("STOR"). Ready only.
    int32_t Store(const std::string& SourceFile, const std::string& HostFileName = "");
    /// Sends "ABOR" in any state but Disconnected and Ready (else library error 2); the state
    /// is not changed. Returns the send result.
    int32_t Abort();
    /// Sends "type a" / "type i" in any state; a failed send gives FTPObjectError 3.
    void Ascii();
    void Binary();
    /// Same as Reset; sends nothing (no QUIT); returns 0.
    int32_t Disconnect();
    /// Starts a session with Site (dotted address, IPv6 address with or without brackets,
    /// "::1" or "[::1]", or host name; a name is reached at its first IPv4 address, or its
    /// first IPv6 one when it has no IPv4 address) on Port. The state is not
    /// checked. Returns 0, or the Windows Sockets error when the look-up could not start or
    /// the connect failed at once.
    int32_t Connect(const std::string& Site);
    /// Ends everything at once, without a notification: cancels a look-up, closes the local
    /// file (kept), closes the data connection, replaces the control socket; Disconnected.
    void Reset();

    /// The private implementation: the library's own tests reach the session's parts through
    /// it. Its type is library-internal (not installed), so hosts have no use for it.
    class Impl;
    Impl& Internals() const noexcept { return *mImpl; }

private:
    TavFTPTransferMgr();
    std::unique_ptr<Impl> mImpl;  // non-null from Create to the destructor's end
};

}  // namespace tav
