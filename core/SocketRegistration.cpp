// Default registration hook, used until the socket manager is linked in. Kept alone in its
// object file so the archive only pulls it in when nothing else defines the hook.
#include "core/SocketRegistration.hpp"

namespace tav {

// FIXME: remove once the socket manager defines AddSocketToManager; the weak attribute only
// keeps the two definitions from colliding until then.
__attribute__((weak)) int32_t AddSocketToManager(TAVSocketMgr&, const std::shared_ptr<TAVSocket>&, const std::string&) {
    return 0;
}

}  // namespace tav
