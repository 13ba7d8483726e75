#include "names/NameRecordCopy.hpp"

#include "core/SocketSupport.hpp"
#include "platform/SockIntf.hpp"

namespace tav::NameRecordCopy {

std::vector<std::string> Aliases(char* const* list) {
    std::vector<std::string> out;
    if (list == nullptr) return out;
    for (char* const* cell = list;; ++cell) {
        std::string text = SocketSupport::TextFromPtrCell(cell);
        if (text.empty()) break;  // a null entry reads as "" too
        out.push_back(std::move(text));
    }
    return out;
}

void DiscardLastError() noexcept { (void)sockintf::intWSAGetLastError(); }

}  // namespace tav::NameRecordCopy
