#include "events/CaughtError.hpp"

#include <tavsock/SockError.hpp>

#include <exception>
#include <new>

namespace tav {

std::string DescriptionOfCaughtError() {
    try {
        throw;
    } catch (const SockError& e) {
        return e.Description();
    } catch (const std::bad_alloc&) {
        return "Out of memory";
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "Unknown error";
    }
}

}  // namespace tav
