// TavFTPTransferMgr::Impl: the control connection's replies and the reply state machine.
#include "transfer/FtpSession.hpp"

#include "platform/DebugLog.hpp"
#include "transfer/FtpStates.hpp"

#include <algorithm>
#include <cstring>

namespace tav {

namespace st = ftpstate;

namespace {
constexpr int32_t kLogLevel = 2;
// Text that arrives while the replies are being handled (a receiver that runs the queue) is
// only appended; this bounds that too.
constexpr size_t kMaxReplyBuffer = 4 * FtpControl::kMaxReplyLine;

bool OnlyPreliminary(const FtpControl::ReplyLines& lines) {
    return std::all_of(lines.begin(), lines.end(), [](const FtpControl::ReplyLine& l) { return l.Code.compare(0, 1, "1") == 0; });
}
}  // namespace

void TavFTPTransferMgr::Impl::ControlReceived(const Variant& Info) {
    if (!Info.IsByteArray()) return;
    const ByteArray& bytes = Info.AsBytes();
    const uint64_t generation = mGuard.Generation();
    std::string error;
    switch (mControl.Receive(bytes.data(), bytes.size(), error)) {
    case FtpControl::Received::Failed:
        if (!mGuard.Moved(generation)) FailTls(error);
        return;
    case FtpControl::Received::HandshakeDone:
        if (!mGuard.Moved(generation)) ControlTlsDone();
        return;
    case FtpControl::Received::Text:
        break;
    }
    if (mGuard.Moved(generation)) return;
    if (mGuard.Inside()) {
        // The loop already running takes it; only a buffer growing without end stops it.
        if (mControl.Pending().size() > kMaxReplyBuffer) Fail(4);
        return;
    }
    SplitReplies();
    // What is left is one incomplete line.
    if (!mGuard.Moved(generation) && mControl.Pending().size() > FtpControl::kMaxReplyLine) {
        if (DebugLogWanted(kLogLevel))
            WriteDebugLog(kLogLevel, "Tag>" + mTcp->Tag().ToString() + "<TavFTPTransferMgr - reply line too long>" +
                                         std::to_string(mControl.Pending().size()));
        Fail(4);
    }
}

void TavFTPTransferMgr::Impl::SplitReplies() {
    const ReentryGuard::Scope inside(mGuard);
    // Each pass takes every complete line there is; handling them may let more arrive.
    const uint64_t generation = mGuard.Generation();
    for (;;) {
        ReplyLines lines;
        if (!mControl.Cut(lines) || mGuard.Moved(generation)) return;  // a dialogue receiver may reset
        if (!lines.empty()) HandleReplies(lines);
    }
}

void TavFTPTransferMgr::Impl::NoteAnnouncedSize(const ReplyLines& lines) {
    // "150 Opening BINARY mode data connection for f (1234 bytes)."
    for (const ReplyLine& line : lines) {
        if (line.Code.compare(0, 1, "1") != 0) continue;
        const size_t bytes = line.Text.rfind(" bytes)");
        const size_t open = bytes == std::string::npos ? bytes : line.Text.rfind('(', bytes);
        if (open == std::string::npos) continue;
        const std::string number = line.Text.substr(open + 1, bytes - open - 1);
        if (number.empty() || number.size() > 18 || number.find_first_not_of("0123456789") != std::string::npos) continue;
        mAnnouncedSize = std::stoll(number);
    }
}

void TavFTPTransferMgr::Impl::ReadyAfterLogin(uint64_t generation) {
    if (mPairReplies) {
        // Paired replies make every completion alike: a command from inside FTPReady goes.
        SetState(st::Ready);
        NotifyReady();
        return;
    }
    // The classic order: FTPReady comes before Ready, so a command from inside it is refused.
    NotifyReady();
    if (!mGuard.Moved(generation)) SetState(st::Ready);
}

void TavFTPTransferMgr::Impl::EndOperation(bool deleteFile) {
    CloseLocalFile(deleteFile);
    mData.Close();
    mPendingCommand.clear();
    mReusedCommand.clear();
    SetState(st::Ready);
    NotifyReady();
}

size_t TavFTPTransferMgr::Impl::FindReply(const ReplyLines& lines, const char* prefix) {
    const size_t n = std::strlen(prefix);
    for (size_t i = 0; i < lines.size(); ++i)
        if (lines[i].Code.compare(0, n, prefix) == 0) return i + 1;
    return 0;
}

void TavFTPTransferMgr::Impl::Report(const ReplyLine& line) {
    NotifyError(line.Code, line.Text);
}

void TavFTPTransferMgr::Impl::HandleReplies(const ReplyLines& lines) {
    const uint64_t generation = mGuard.Generation();
    if (DebugLogWanted(kLogLevel))
        WriteDebugLog(kLogLevel, "Tag>" + mTcp->Tag().ToString() + "<TavFTPTransferMgr - HandleReplies state>" +
                                     st::Name(mState) + "<lines>" + std::to_string(lines.size()) + "<first>" +
                                     lines.front().Code + lines.front().Text.substr(0, 70));

    // A session that was to be secured is not carried on in the clear.
    if (InTlsSetup()) {
        if (const size_t refused = FindReply(lines, "5")) {
            const ReplyLine& line = lines[refused - 1];
            FailTls("the server refused to secure the session: " + line.Code + line.Text);
            return;
        }
    }
    // Negative replies win over everything else in the pass.
    if (FindReply(lines, "5") != 0) {
        // The transfer is over; its local file is not held open until the next one.
        if (mState >= st::PasvSent && mState != st::ChangingDir) {
            // A download refused leaves nothing it created behind.
            CloseLocalFile(mState == st::RetrSent || mState == st::Retrieving);
            mPendingCommand.clear();
        }
        SetState(st::Ready);
        for (const ReplyLine& line : lines) {
            if (line.Code.compare(0, 1, "5") != 0) continue;
            Report(line);
            if (mGuard.Moved(generation)) return;  // a receiver reset the session
        }
        return;
    }
    if (FindReply(lines, "421") != 0) {
        Fail(4);
        return;
    }
    const int32_t before = mState;
    const int32_t result = StateStep(lines, generation);
    if (mGuard.Moved(generation)) return;
    // Only a reply that moves the operation on is progress: an endless run of 1xx replies
    // (or any other reply the state ignores) does not keep a stalled operation alive.
    if (mState != before) Progress();
    if (result != 0) {
        SetState(st::Ready);
        NotifyObjectError(3);
    }
}

// One step of the state machine for the lines of one pass (no 5xx or 421 among them).
// Returns the result of a command or set-up it started (non-zero: it failed).
int32_t TavFTPTransferMgr::Impl::StateStep(const ReplyLines& lines, uint64_t generation) {
    switch (mState) {
    case st::TlsGreeting:
        if (OnlyPreliminary(lines)) return 0;
        SetState(st::AuthSent);
        return SendCommand("AUTH TLS");
    case st::AuthSent:
        if (FindReply(lines, "234") != 0) {
            StartControlTls();
            return 0;
        }
        FailTls("the server does not offer TLS: AUTH TLS was answered " + lines.front().Code + lines.front().Text);
        return 0;
    case st::PbszSent:
        SetState(st::ProtSent);
        return SendCommand("PROT P");
    case st::ProtSent:
        if (FindReply(lines, "2") == 0) {
            FailTls("the server did not protect the data connections: PROT P was answered " + lines.front().Code +
                    lines.front().Text);
            return 0;
        }
        ReadyAfterLogin(generation);
        return 0;
    case st::Connected:
        // Only while pairing replies: the greeting has come, unless all of it was 1xx.
        if (OnlyPreliminary(lines)) return 0;
        SetState(st::UserSent);
        return SendCommand("USER " + mUser);
    case st::UserSent:
        SetState(st::PassSent);
        return SendCommand("PASS " + mPassword);
    case st::PassSent:
        if (FindReply(lines, "332") != 0 || !mAccount.empty()) {
            SetState(st::AcctSent);
            return SendCommand("ACCT " + mAccount);
        }
        return ProtectAfterLogin(generation);
    case st::AcctSent:
        return ProtectAfterLogin(generation);
    case st::ChangingDir:
        SetState(st::Ready);
        NotifyReady();
        return 0;
    default:
        return TransferStep(lines, generation);
    }
}

// The states of a transfer: the data connection's set-up, the transfer command, its end.
int32_t TavFTPTransferMgr::Impl::TransferStep(const ReplyLines& lines, uint64_t generation) {
    auto reported = [&](size_t index) {
        Report(lines[index - 1]);
        return !mGuard.Moved(generation);
    };
    // The first 4xx line, or else the first 3xx line: 0 when there is neither.
    const size_t four = FindReply(lines, "4");
    const size_t transientOrIntermediate = four != 0 ? four : FindReply(lines, "3");

    // A kept data connection may have been closed by the server before its close reached us
    // (a server process that still held it closed it late): the server then answers the
    // download with 425. Nothing was transferred, so set up a new connection and ask again,
    // once, instead of failing a transfer the server would serve.
    if (!mReusedCommand.empty() && mState != st::RestSent) {
        std::string command = std::move(mReusedCommand);
        mReusedCommand.clear();
        if (FindReply(lines, "425") != 0 && (mState == st::Listing || mState == st::RetrSent)) {
            mPendingCommand = std::move(command);
            mPendingState = mState;
            mRestPending = mState == st::RetrSent && mRestartAt > 0;
            mData.Close();
            return SetUpDataConnection("");
        }
    }

    switch (mState) {
    case st::PasvSent:
        if (const size_t i = FindReply(lines, "331")) {
            // The server wants a login, not a data connection: the operation is over, and
            // the host is told so like any other end.
            if (reported(i)) EndOperation(false);
            return 0;
        }
        if (const size_t i = FindReply(lines, ExtendedDataCommands() ? "229" : "227")) {
            int32_t result = -1;
            try {
                result = SetUpDataConnection(lines[i - 1].Text);
            } catch (...) {
                // A data socket that could not be made: reported below like any failed set-up.
            }
            if (result != 0 && !mGuard.Moved(generation)) {
                mData.Close();
                CloseLocalFile(false);
                mPendingCommand.clear();
            }
            return result;
        }
        return 0;
    case st::PortSent:
        // A transient refusal of PORT changes nothing, as for PASV: the session waits in
        // PortSent (a host ends it with Reset, or Timeout does) rather than sending a transfer
        // command the server has just said it cannot serve.
        if (four != 0) return 0;
        if (const size_t i = FindReply(lines, "331"))
            if (!reported(i)) return 0;
        if (!mPendingCommand.empty()) return SendPendingCommand();
        ReadyAfterLogin(generation);
        return 0;
    case st::Listing:
        // A refusal ends the listing: no final 2xx reply follows it.
        if (transientOrIntermediate != 0) {
            if (reported(transientOrIntermediate)) EndOperation(false);
            return 0;
        }
        if (FindReply(lines, "2") != 0) {
            // The data connection may still hold the end of the listing: take it first.
            DrainDataSocket();
            if (mGuard.Moved(generation)) return 0;
            NotifyDataReceived();
            if (mGuard.Moved(generation)) return 0;
            SetState(st::Ready);
            NotifyReady();
        }
        return 0;
    case st::RestSent:
        if (FindReply(lines, "350") != 0) return SendPendingCommand();
        // Anything else means the server will not resume: the file stays as it was.
        if (reported(1)) EndOperation(false);
        return 0;
    case st::RetrSent:
        NoteAnnouncedSize(lines);
        if (transientOrIntermediate != 0) {
            if (reported(transientOrIntermediate)) EndOperation(true);
            return 0;
        }
        if (FindReply(lines, "2") != 0) {
            DrainDataSocket();
            if (mGuard.Moved(generation)) return 0;
            if (!mData.Socket())
                FinishRetrieve();
            else
                SetState(st::Retrieving);
        }
        return 0;
    case st::StorSent:
    case st::Storing:
        SetState(st::Storing);
        if (transientOrIntermediate != 0) {
            if (reported(transientOrIntermediate)) EndOperation(false);
            return 0;
        }
        if (mPassiveMode || mData.Accepted()) return SendNextBlocks();
        return 0;
    case st::StoreDone:
        if (transientOrIntermediate != 0)
            if (!reported(transientOrIntermediate)) return 0;
        SetState(st::Ready);
        NotifyReady();
        return 0;
    default:
        return 0;
    }
}

}  // namespace tav
