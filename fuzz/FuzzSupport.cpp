#include "FuzzInput.hpp"

#include <cstdio>
#include <cstdlib>

namespace fuzz {

void Fail(const char* file, int line, const char* condition, const std::string& what) {
    std::fprintf(stderr, "%s:%d: invariant broken: %s\n  %s\n", file, line, condition, what.c_str());
    std::abort();
}

}  // namespace fuzz
