// Library-internal factory of TAVSocketUtil, which hosts cannot create themselves.
#pragma once

#include <tavsock/TAVSocketUtil.hpp>

#include <memory>

namespace tav {

class SocketUtilAccess {
public:
    /// A new utility object (the socket manager keeps one for its `Util` property).
    static std::shared_ptr<TAVSocketUtil> Create() { return std::shared_ptr<TAVSocketUtil>(new TAVSocketUtil()); }
};

}  // namespace tav
