// TavFTPTransferMgr: the control connection's bytes cut into reply lines, and the reply
// state machine.
#include <tavsock/TavFTPTransferMgr.hpp>

#include "platform/DebugLog.hpp"
#include "transfer/FtpStates.hpp"
#include "transfer/TlsChannel.hpp"
#include "platform/Timer.hpp"

#include <algorithm>
#include <cstring>

namespace tav {

namespace st = ftpstate;

namespace {
constexpr int32_t kLogLevel = 2;
// A reply line longer than this ends the session: a server that sends endless text without
// a line end must not make us hold it all.
constexpr size_t kMaxReplyLine = 1024 * 1024;
// Text that arrives while the replies are being handled (a receiver that runs the queue) is
// only appended; this bounds that too.
constexpr size_t kMaxReplyBuffer = 4 * kMaxReplyLine;
}  // namespace

void TavFTPTransferMgr::ControlReceived(const Variant& Info) {
    if (!Info.IsByteArray()) return;
    const ByteArray& bytes = Info.AsBytes();
    if (mControlTls) {
        ControlTlsReceived(bytes);
        return;
    }
    ControlBytes(bytes.data(), bytes.size());
}

void TavFTPTransferMgr::ControlBytes(const uint8_t* data, size_t n) {
    Progress();
    mReplyBuffer.append(reinterpret_cast<const char*>(data), n);
    if (mInHandler) {
        // The loop already running takes it; only a buffer growing without end stops it.
        if (mReplyBuffer.size() > kMaxReplyBuffer) Fail(4);
        return;
    }
    SplitReplies();
    // What is left is one incomplete line.
    if (mReplyBuffer.size() > kMaxReplyLine) {
        if (DebugLogWanted(kLogLevel))
            WriteDebugLog(kLogLevel, "Tag>" + mTcp->Tag().ToString() + "<TavFTPTransferMgr - reply line too long>" +
                                         std::to_string(mReplyBuffer.size()));
        Fail(4);
    }
}

void TavFTPTransferMgr::SplitReplies() {
    mInHandler = true;
    struct Clear {
        bool& flag;
        ~Clear() { flag = false; }
    } clear{mInHandler};
    // Each pass takes every complete line there is; handling them may let more arrive.
    while (ReplyPass()) {
    }
}

bool TavFTPTransferMgr::ReplyPass() {
    ReplyLines lines;
    if (!CutReplyLines(mReplyBuffer, mScanFrom, lines)) return false;
    if (!lines.empty()) HandleReplies(lines);
    return true;
}

bool TavFTPTransferMgr::CutReplyLines(std::string& buffer, size_t& scanFrom, ReplyLines& lines) {
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
    if (start == 0) {
        // No complete line: remember how far it was searched (a CR at the end may still get
        // its LF).
        scanFrom = buffer.empty() ? 0 : buffer.size() - 1;
        return false;
    }
    buffer.erase(0, start);
    scanFrom = buffer.empty() ? 0 : buffer.size() - 1;
    return true;
}

void TavFTPTransferMgr::NoteAnnouncedSize(const ReplyLines& lines) {
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

void TavFTPTransferMgr::ReadyAfterLogin(uint64_t generation) {
    if (mPairReplies) {
        // Paired replies make every completion alike: a command from inside FTPReady goes.
        ClientState = st::Ready;
        NotifyReady();
        return;
    }
    // The classic order: FTPReady comes before Ready, so a command from inside it is refused.
    NotifyReady();
    if (generation == mGeneration) ClientState = st::Ready;
}

size_t TavFTPTransferMgr::FindReply(const ReplyLines& lines, const char* prefix) {
    const size_t n = std::strlen(prefix);
    for (size_t i = 0; i < lines.size(); ++i)
        if (lines[i].Code.compare(0, n, prefix) == 0) return i + 1;
    return 0;
}

void TavFTPTransferMgr::Report(const ReplyLine& line) {
    NotifyError(line.Code, line.Text);
}

void TavFTPTransferMgr::HandleReplies(const ReplyLines& lines) {
    const uint64_t generation = mGeneration;
    if (DebugLogWanted(kLogLevel))
        WriteDebugLog(kLogLevel, "Tag>" + mTcp->Tag().ToString() + "<TavFTPTransferMgr - HandleReplies state>" +
                                     st::Name(ClientState) + "<lines>" + std::to_string(lines.size()) + "<first>" +
                                     lines.front().Code + lines.front().Text.substr(0, 70));

    // A session that was to be secured is not carried on in the clear.
    if (InTlsSetup()) {
        const size_t refused = FindReply(lines, "5");
        if (refused != 0) {
            const ReplyLine& line = lines[refused - 1];
            FailTls("the server refused to secure the session: " + line.Code + line.Text);
            return;
        }
    }
    // Negative replies win over everything else in the pass.
    if (FindReply(lines, "5") != 0) {
        // The transfer is over; its local file is not held open until the next one.
        if (ClientState >= st::PasvSent && ClientState != st::ChangingDir) {
            CloseLocalFile(false);
            mPendingCommand.clear();
        }
        ClientState = st::Ready;
        for (const ReplyLine& line : lines) {
            if (line.Code.compare(0, 1, "5") != 0) continue;
            Report(line);
            if (generation != mGeneration) return;  // a receiver reset the session
        }
        return;
    }
    for (const ReplyLine& line : lines) {
        if (line.Code == "421") {
            Fail(4);
            return;
        }
    }
    const int32_t result = StateStep(lines, generation);
    if (result != 0 && generation == mGeneration) {
        ClientState = st::Ready;
        NotifyObjectError(3);
    }
}

// One step of the state machine for the lines of one pass (no 5xx or 421 among them).
// Returns the result of a command or set-up it started (non-zero: it failed).
int32_t TavFTPTransferMgr::StateStep(const ReplyLines& lines, uint64_t generation) {
    auto reported = [&](size_t index) {
        Report(lines[index - 1]);
        return generation == mGeneration;
    };
    // The first 4xx line, or else the first 3xx line: 0 when there is neither.
    auto transientOrIntermediate = [&] {
        const size_t four = FindReply(lines, "4");
        return four != 0 ? four : FindReply(lines, "3");
    };

    switch (ClientState) {
    case st::TlsGreeting: {
        const bool onlyPreliminary =
            std::all_of(lines.begin(), lines.end(), [](const ReplyLine& l) { return l.Code.compare(0, 1, "1") == 0; });
        if (onlyPreliminary) return 0;
        ClientState = st::AuthSent;
        return SendCommand("AUTH TLS");
    }
    case st::AuthSent:
        if (FindReply(lines, "234") != 0) {
            StartControlTls();
            return 0;
        }
        FailTls("the server does not offer TLS: AUTH TLS was answered " + lines.front().Code + lines.front().Text);
        return 0;
    case st::PbszSent:
        ClientState = st::ProtSent;
        return SendCommand("PROT P");
    case st::ProtSent:
        if (FindReply(lines, "2") == 0) {
            FailTls("the server did not protect the data connections: PROT P was answered " + lines.front().Code +
                    lines.front().Text);
            return 0;
        }
        if (tmrTlsHandshake) tmrTlsHandshake->Enabled(false);
        ReadyAfterLogin(generation);
        return 0;
    case st::Connected: {
        // Only while pairing replies: the greeting has come, unless all of it was 1xx.
        const bool onlyPreliminary =
            std::all_of(lines.begin(), lines.end(), [](const ReplyLine& l) { return l.Code.compare(0, 1, "1") == 0; });
        if (onlyPreliminary) return 0;
        ClientState = st::UserSent;
        return SendCommand("USER " + mUser);
    }
    case st::UserSent:
        ClientState = st::PassSent;
        return SendCommand("PASS " + mPassword);
    case st::PassSent:
        if (FindReply(lines, "332") != 0 || !mAccount.empty()) {
            ClientState = st::AcctSent;
            return SendCommand("ACCT " + mAccount);
        }
        [[fallthrough]];
    case st::AcctSent:
        return ProtectAfterLogin(generation);
    case st::PasvSent:
        if (const size_t i = FindReply(lines, "331")) {
            ClientState = st::Ready;
            (void)reported(i);
            return 0;
        }
        if (const size_t i = FindReply(lines, "227")) {
            int32_t result = -1;
            try {
                result = SetUpDataConnection(lines[i - 1].Text);
            } catch (...) {
                // A data socket that could not be made: reported below like any failed set-up.
            }
            if (result != 0 && generation == mGeneration) {
                CloseDataSocket();
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
        if (FindReply(lines, "4") != 0) return 0;
        if (const size_t i = FindReply(lines, "331"))
            if (!reported(i)) return 0;
        if (!mPendingCommand.empty()) return SendPendingCommand();
        ReadyAfterLogin(generation);
        return 0;
    case st::Listing:
        if (const size_t i = transientOrIntermediate())
            if (!reported(i)) return 0;
        if (FindReply(lines, "2") != 0) {
            // The data connection may still hold the end of the listing: take it first.
            DrainDataSocket();
            if (generation != mGeneration) return 0;
            NotifyDataReceived();
            if (generation != mGeneration) return 0;
            ClientState = st::Ready;
            NotifyReady();
        }
        return 0;
    case st::ChangingDir:
        ClientState = st::Ready;
        NotifyReady();
        return 0;
    case st::RetrSent:
        NoteAnnouncedSize(lines);
        if (const size_t i = transientOrIntermediate()) {
            if (!reported(i)) return 0;
            CloseLocalFile(true);
            CloseDataSocket();
            ClientState = st::Ready;
            NotifyReady();
            return 0;
        }
        if (FindReply(lines, "2") != 0) {
            DrainDataSocket();
            if (generation != mGeneration) return 0;
            if (!mData)
                FinishRetrieve();
            else
                ClientState = st::Retrieving;
        }
        return 0;
    case st::StorSent:
    case st::Storing:
        ClientState = st::Storing;
        if (const size_t i = transientOrIntermediate()) {
            if (!reported(i)) return 0;
            CloseLocalFile(false);
            CloseDataSocket();
            ClientState = st::Ready;
            NotifyReady();
            return 0;
        }
        if (mPassiveMode || mAccepted) return SendNextBlocks();
        return 0;
    case st::StoreDone:
        if (const size_t i = transientOrIntermediate())
            if (!reported(i)) return 0;
        ClientState = st::Ready;
        NotifyReady();
        return 0;
    default:
        return 0;
    }
}

}  // namespace tav
