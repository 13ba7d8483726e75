// The one time limit of a transfer operation: progress-based, with the TLS set-up limit folded
// in, so an operation never runs two timers that can disagree.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace tav {

namespace platform {
class Timer;
}

/// Watches one operation at a time of its owner (an HTTP request, an FTP command and its
/// transfer). Two limits:
///  - Timeout: milliseconds without progress. The owner decides what progress is (a body's
///    bytes; a complete reply that moves the state machine, or data-connection bytes) and
///    calls Progress() for it and for nothing else, so a peer that trickles what does not
///    count cannot keep the operation alive. Checked four times per period: the operation
///    expires between Timeout and 1.25 x Timeout after its last progress.
///  - the set-up limit: milliseconds a set-up phase (a proxy's CONNECT answer, an AUTH TLS
///    exchange, a TLS handshake) may take in all, from BeginSetup, whatever progress it makes.
/// 0 turns a limit off. A negative limit is refused: the properties that set them raise
/// library error 1 and keep their value (see SetTimeout), in both transfer clients.
///
/// When a limit is passed, `expired` runs (from the owner's message queue) with the kind;
/// the watchdog is stopped first, so the handler may start the next operation. The handler
/// must hold its owner (the watchdog is the owner's part). One thread; not copyable.
class TransferWatchdog {
public:
    enum class Expiry { Timeout, Setup };

    explicit TransferWatchdog(std::function<void(Expiry)> expired);
    ~TransferWatchdog();
    TransferWatchdog(const TransferWatchdog&) = delete;
    TransferWatchdog& operator=(const TransferWatchdog&) = delete;

    /// The progress limit, in milliseconds (0: none). Raises library error 1 for a negative
    /// value and keeps the old one. Applies at once to a running operation.
    int32_t Timeout() const noexcept { return timeout_; }
    void SetTimeout(int32_t ms);
    /// Raises library error 1 when `ms` is negative: the check of every limit property.
    static void CheckLimit(int32_t ms);

    /// An operation begins: progress counts from now; no set-up phase runs.
    void Start();
    /// The operation is over (or abandoned): nothing expires until the next Start.
    void Stop() noexcept;
    bool Running() const noexcept { return running_; }
    /// The operation moved on: the progress clock starts again.
    void Progress() noexcept { ++progress_; }

    /// A set-up phase begins now and may last `limitMs` (0: no limit of its own). A phase
    /// begun while one runs keeps the first start (a CONNECT answer and the handshake after
    /// it share one limit).
    void BeginSetup(int32_t limitMs);
    /// The set-up phase ended in time.
    void EndSetup();
    bool InSetup() const noexcept { return inSetup_; }

    /// "the TLS handshake did not finish within 30 s": the reason given for Expiry::Setup.
    std::string SetupExpiredText() const;

private:
    void Arm();
    void Tick();

    static constexpr int kChecksPerPeriod = 4;
    std::function<void(Expiry)> expired_;
    std::unique_ptr<platform::Timer> timer_;
    int32_t timeout_ = 0;
    int32_t setupLimit_ = 0;
    bool running_ = false;
    bool inSetup_ = false;
    std::chrono::steady_clock::time_point setupStarted_{};
    uint64_t progress_ = 0;      // moved by Progress()
    uint64_t progressSeen_ = 0;  // its value at the last check
    int quietChecks_ = 0;        // checks in a row without progress
};

}  // namespace tav
