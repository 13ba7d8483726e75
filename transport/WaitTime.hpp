// The TCP manager's time marks: seconds since local midnight in fixed-point form with four
// decimal places, held as a 64-bit count of ten-thousandths of a second.
#pragma once

#include <cstdint>
#include <string>

namespace tav::waittime {

/// Ten-thousandths of a second in a second and in a day.
inline constexpr int64_t kPerSecond = 10000;
inline constexpr int64_t kPerDay = 86400 * kPerSecond;

/// Now, as seconds since local midnight (0 to just under 86400).
int64_t Now();

/// True once `now` has reached `mark`. Marks are times of day, so the comparison goes round
/// midnight: a mark set at 23:59:58 for five seconds later is reached at 00:00:03. A mark up
/// to half a day ahead counts as not yet reached; anything else as reached.
bool Reached(int64_t now, int64_t mark) noexcept;

/// "45296.1234": whole seconds, a point and the four decimal places.
std::string Text(int64_t value);

}  // namespace tav::waittime
