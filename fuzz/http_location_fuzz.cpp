// A redirect's Location resolved against the request's URL.
//
// The input is the base URL and the Location (split where its first byte says). Whatever they
// hold, the result is "" or an absolute http(s) URL that: holds no control character (it
// becomes a request line), no "." or ".." path segment and no fragment; keeps the base's
// scheme and host when the Location names neither; resolves to itself from any base (so a
// followed redirect means one thing); and is no longer than what it was made of.
#include "FuzzInput.hpp"

#include "transfer/HttpUrl.hpp"

#include <algorithm>

namespace {
using tav::HttpUrl;

std::string Origin(const std::string& url) {
    const size_t start = url.find("://") + 3;
    return url.substr(0, std::min(url.find('/', start), url.find('?', start)));
}

bool HasDotSegment(const std::string& url) {
    const std::string path = url.substr(0, url.find('?'));
    for (size_t at = path.find('/', path.find("://") + 3); at != std::string::npos; at = path.find('/', at + 1)) {
        const size_t end = std::min(path.find('/', at + 1), path.size());
        const std::string segment = path.substr(at + 1, end - at - 1);
        if (segment == "." || segment == "..") return true;
    }
    return false;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::FuzzInput in(data, size);
    const std::string base = in.Text(in.Byte());
    const std::string location = in.Rest();
    const std::string url = HttpUrl::Resolve(base, location);
    if (url.empty()) return 0;

    FUZZ_CHECK(url.rfind("http://", 0) == 0 || url.rfind("https://", 0) == 0, "not absolute: " + url);
    FUZZ_CHECK(std::none_of(url.begin(), url.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }),
               "control character");
    FUZZ_CHECK(url.find('#') == std::string::npos, "fragment kept: " + url);
    FUZZ_CHECK(!HasDotSegment(url), "dot segment left: " + url);
    FUZZ_CHECK(url.size() <= base.size() + location.size() + 16, "grew: " + url);
    FUZZ_CHECK(HttpUrl::Resolve("http://elsewhere.invalid/x/y", url) == url, "does not resolve to itself: " + url);
    FUZZ_CHECK(HttpUrl::Resolve(url, "") == url, "the empty Location moves: " + url);
    const std::string loc = location.substr(0, location.find('#'));
    const bool namesOrigin = loc.find(':') < std::min({loc.find('/'), loc.find('?'), loc.size()}) || loc.rfind("//", 0) == 0;
    const std::string self = HttpUrl::Resolve(base, "");
    if (!namesOrigin && !self.empty()) FUZZ_CHECK(Origin(url) == Origin(self), "origin changed: " + url + " from " + self);
    return 0;
}
