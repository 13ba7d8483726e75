// Creation of the creatable classes by name.
#pragma once

#include <tavsock/Object.hpp>

#include <string>

namespace tav {

/// Creates an object of a creatable class from its name "TAVSock.<ClassName>" (case does not
/// matter), e.g. "TAVSock.TAVSockAddr". Raises the library error 1 for an unknown name.
ObjectPtr CreateObject(const std::string& progId);

}  // namespace tav
