// Library-internal access to TAVSocket: its factory and the members that the socket managers
// and the transport managers use to drive it.
//
// TAVSocket befriends this one class only, so its public header names none of the library's
// classes; library sources include this header and call, e.g., SocketAccess::SetState(s, x).
// Hosts do not get this header.
#pragma once

#include <tavsock/TAVSocket.hpp>

#include "platform/DebugLog.hpp"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace tav {

class SocketAccess {
public:
    /// A new socket with every field at its default (no handle, Skt_NotInitialized).
    static std::shared_ptr<TAVSocket> Create() {
        // One allocation for the object and its count: a socket is made for every connection.
        struct Made final : TAVSocket {};
        return std::make_shared<Made>();
    }

    static void SetDisconnectKind(TAVSocket& s, TAV_SocketDisconnectKind kind) noexcept { s.SetDisconnectKind(kind); }
    /// Takes over `handle` (it is closed when the socket ends); does not close an earlier one.
    static void SetHandle(TAVSocket& s, int32_t handle) noexcept { s.SetHandle(handle); }
    static void SetIsConnectionAcceptor(TAVSocket& s, bool flag) noexcept { s.SetIsConnectionAcceptor(flag); }
    static void SetIsServerSocket(TAVSocket& s, bool flag) noexcept { s.SetIsServerSocket(flag); }
    static void SetState(TAVSocket& s, TAV_SocketState state) noexcept { s.SetState(state); }
    /// Drops both pending buffers and the pending peer.
    static void ClearPendingSend(TAVSocket& s) noexcept { s.ClearPendingSend(); }
    /// Opens a new non-blocking handle of `kind` (1 stream, 2 datagram), closing an earlier
    /// one. Returns the handle, -1 on failure (State Skt_Error).
    static int32_t CreateSocket(TAVSocket& s, int32_t kind, int32_t family = 2) { return s.CreateSocket(kind, family); }
    /// Bind for a socket that is to connect: a port of 0 is chosen by the connect (towards
    /// its destination, so TIME_WAIT of earlier connections does not exhaust the ports), or
    /// when LocalAddr is read before. Otherwise as Bind.
    static int32_t BindForConnect(TAVSocket& s, const std::shared_ptr<TAVSockAddr>& addr) {
        return s.BindForConnect(addr);
    }
    /// Reads what waits on a stream socket into `buffer` (std::string or ByteArray), which the
    /// caller keeps between reads so that its memory is reused: the buffer is made at least
    /// `target` bytes long and read into without asking first how much waits (that question
    /// would cost a system call on every read); only a read that fills the buffer asks for the
    /// rest and reads it too, so one call still takes everything waiting. With `askFirst` (for
    /// a stream whose backlog outgrows any kept buffer) the count is asked first and the buffer
    /// sized to it, so a large read is not grown and copied on the way. Returns the count read
    /// (the buffer's first bytes; the rest of the buffer is left as it was), 0 when nothing
    /// was. `most` bounds the buffer and the count: a caller that keeps one buffer of at most
    /// that size reads a larger backlog in several calls (the socket stays readable, so the
    /// next notification brings the rest) instead of growing, copying and dropping a buffer
    /// on every read. Writes Recv's debug-log lines.
    template <class Buffer>
    static size_t ReadWaiting(TAVSocket& s, Buffer& buffer, size_t target, bool askFirst = false,
                              size_t most = 0x7FFFFFFF) {
        const size_t kMost = std::min<size_t>(most, 0x7FFFFFFF);
        int32_t error = 0;
        size_t got = 0;
        if (askFirst) {
            const int32_t waiting = s.HowMuchDataIsAvailable();
            if (waiting <= 0) return 0;
            const size_t wanted = std::min(static_cast<size_t>(waiting), kMost);
            if (buffer.size() < wanted) buffer.resize(wanted);
            const int32_t n = s.RecvInto(reinterpret_cast<char*>(buffer.data()), static_cast<int32_t>(wanted), error);
            got = n > 0 ? static_cast<size_t>(n) : 0;
        } else {
            if (buffer.size() < target) buffer.resize(std::min(target, kMost));
            const size_t room = std::min(buffer.size(), kMost);
            const int32_t first = s.RecvInto(reinterpret_cast<char*>(buffer.data()), static_cast<int32_t>(room), error);
            got = first > 0 ? static_cast<size_t>(first) : 0;
            if (got != 0 && got == room && got < kMost) {
                const int32_t waiting = s.HowMuchDataIsAvailable();
                const size_t more = waiting > 0 ? std::min(static_cast<size_t>(waiting), kMost - got) : 0;
                if (more > 0) {
                    buffer.resize(got + more);
                    const int32_t rest =
                        s.RecvInto(reinterpret_cast<char*>(buffer.data()) + got, static_cast<int32_t>(more), error);
                    if (rest > 0) got += static_cast<size_t>(rest);
                }
            }
        }
        if (got != 0 && DebugLogWanted(2)) s.LogRecv(reinterpret_cast<const char*>(buffer.data()), static_cast<int32_t>(got));
        return got;
    }
    /// Flushes pending data (urgent data first); returns the result of the last send call:
    /// -1 with the socket error as LastError() when data remains pending or was dropped, else
    /// the byte count (0 when nothing was pending). May run the message queue while it waits.
    static int32_t GenericSend(TAVSocket& s) { return s.GenericSend(); }
    /// Send of a byte array (same checks, log lines, results and raised errors) from bytes
    /// the caller keeps, so a caller that reuses one buffer makes no array per send.
    static void SendBytes(TAVSocket& s, const uint8_t* data, size_t size) { s.SendBytes(data, size); }
    /// Whether a flush would have anything to send (normal or out-of-band data pending).
    static bool HasPendingSend(const TAVSocket& s) noexcept;
    /// A close notification arrived while reading was paused: it waits for ResumeRecv, which
    /// brings it again. `error` is its error code (kept for the notification to come).
    static void DeferClose(TAVSocket& s, int32_t error) noexcept {
        // The close brought again by a resume carries no error of its own: keep the first's.
        const int32_t earlier = TakeDeferredCloseError(s);
        s.mDeferredClose = error != 0 ? error : earlier;
    }
    /// Ends a pause without a notification (the caller delivers what waited itself).
    static void EndPause(TAVSocket& s) noexcept { s.mRecvPaused = false; }
    /// The error of a close that waited for ResumeRecv, 0 when none did; forgets it.
    static int32_t TakeDeferredCloseError(TAVSocket& s) noexcept {
        const int32_t v = s.mDeferredClose;
        s.mDeferredClose = -1;
        return v >= 0 ? v : v <= -2 ? -2 - v : 0;
    }
    /// The TCP manager stopped cutting messages because reading was paused; `rest` is the
    /// part of its read not yet framed (it may be empty: whole messages may wait in the hold
    /// buffer). ResumeRecv then brings a read notification whatever the stack holds.
    static void Withhold(TAVSocket& s, std::string_view rest) {
        s.mWithheldText.append(rest);
        s.mRecvWithheld = true;
    }
    /// Whether text waits from a paused read (one load: asked on every text read).
    static bool HasWithheld(const TAVSocket& s) noexcept { return s.mRecvWithheld; }
    /// Takes what Withhold kept, ending the withholding.
    static std::string TakeWithheld(TAVSocket& s) noexcept {
        s.mRecvWithheld = false;
        std::string rest;
        rest.swap(s.mWithheldText);
        return rest;
    }
    /// Sets the calling thread's last socket error to 0.
    static void ClearLastError() noexcept { TAVSocket::ClearLastError(); }
};

}  // namespace tav
