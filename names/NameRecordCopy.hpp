// Pieces of the host, service and protocol records that the three info classes copy alike.
#pragma once

#include <string>
#include <vector>

namespace tav::NameRecordCopy {

/// The texts of a record's alias list: up to the first null entry or the first empty text,
/// which both end the list. A null list has no aliases.
std::vector<std::string> Aliases(char* const* list);

/// Reads the last error of a failed look-up. Failed look-ups are not reported (the caller sees
/// an empty Name), but the error is taken as the platform expects.
void DiscardLastError() noexcept;

}  // namespace tav::NameRecordCopy
