// The time limit of a transfer operation.
#include "transfer/TransferWatchdog.hpp"

#include "base/SockErrors.hpp"
#include "platform/Timer.hpp"

#include <algorithm>
#include <cstdio>

namespace tav {

TransferWatchdog::TransferWatchdog(std::function<void(Expiry)> expired)
    : expired_(std::move(expired)), timer_(std::make_unique<platform::Timer>()) {
    // The timer is this object's part: the subscription ends with it.
    timer_->Tick.Subscribe([this] { Tick(); });
}

TransferWatchdog::~TransferWatchdog() = default;

void TransferWatchdog::CheckLimit(int32_t ms) {
    if (ms < 0) RaiseSockError(kErrInvalidParameter);
}

void TransferWatchdog::SetTimeout(int32_t ms) {
    CheckLimit(ms);
    timeout_ = ms;
    Arm();
}

void TransferWatchdog::Start() {
    running_ = true;
    inSetup_ = false;
    progressSeen_ = progress_;
    quietChecks_ = 0;
    Arm();
}

void TransferWatchdog::Stop() noexcept {
    running_ = false;
    inSetup_ = false;
    timer_->Enabled(false);
}

void TransferWatchdog::BeginSetup(int32_t limitMs) {
    if (!running_) Start();
    if (!inSetup_) setupStarted_ = std::chrono::steady_clock::now();
    inSetup_ = true;
    setupLimit_ = std::max(limitMs, 0);
    Arm();
}

void TransferWatchdog::EndSetup() {
    inSetup_ = false;
    Arm();
}

void TransferWatchdog::Arm() {
    // Four checks per period of the shorter limit that applies.
    int32_t period = timeout_;
    if (inSetup_ && setupLimit_ > 0 && (period == 0 || setupLimit_ < period)) period = setupLimit_;
    if (!running_ || period == 0) {
        timer_->Enabled(false);
        return;
    }
    const int32_t interval = std::max(1, period / kChecksPerPeriod);
    timer_->Interval(interval);
    timer_->Enabled(true);
}

void TransferWatchdog::Tick() {
    if (!running_) return;
    if (inSetup_ && setupLimit_ > 0 &&
        std::chrono::steady_clock::now() - setupStarted_ >= std::chrono::milliseconds(setupLimit_)) {
        Stop();
        expired_(Expiry::Setup);  // last: the handler may destroy the owner and this object
        return;
    }
    if (timeout_ <= 0) return;
    if (progress_ != progressSeen_) {
        progressSeen_ = progress_;
        quietChecks_ = 0;
        return;
    }
    // The period may be the set-up limit's: count quiet time, not ticks.
    const int32_t interval = timer_->Interval();
    if (++quietChecks_ * static_cast<int64_t>(interval) < std::max<int64_t>(timeout_, interval)) return;
    Stop();
    expired_(Expiry::Timeout);
}

std::string TransferWatchdog::SetupExpiredText() const {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%g", setupLimit_ / 1000.0);
    return std::string("the TLS handshake did not finish within ") + seconds + " s";
}

}  // namespace tav
