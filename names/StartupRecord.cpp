#include "names/StartupRecord.hpp"

namespace tav {

sockintf::WSADATA& ThreadStartupRecord() noexcept {
    thread_local sockintf::WSADATA record{};
    return record;
}

}  // namespace tav
