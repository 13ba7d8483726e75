// The description of an error caught at a boundary where the library shows it to the user.
#pragma once

#include <string>

namespace tav {

/// Description of the exception currently being handled; call it only inside a catch block.
/// A SockError gives its Description(), an allocation failure "Out of memory", another
/// standard exception its what(), anything else "Unknown error".
std::string DescriptionOfCaughtError();

}  // namespace tav
