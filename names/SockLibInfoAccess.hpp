// Library-internal factory of OSSockLibInfo, which hosts cannot create themselves.
#pragma once

#include <tavsock/OSSockLibInfo.hpp>

#include <memory>

namespace tav {

class SockLibInfoAccess {
public:
    /// A new reader of the calling thread's start-up record (names/StartupRecord.hpp).
    static std::shared_ptr<OSSockLibInfo> Create() { return std::shared_ptr<OSSockLibInfo>(new OSSockLibInfo()); }
};

}  // namespace tav
