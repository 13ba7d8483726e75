// The text of an HTTP/1.0 request.
#include "transfer/HttpRequest.hpp"

#include "transfer/HttpHead.hpp"

namespace tav {

namespace {
constexpr const char* kCRLF = "\r\n";

bool EndsWithCRLF(const std::string& text) {
    return text.size() >= 2 && text.compare(text.size() - 2, 2, kCRLF) == 0;
}
}  // namespace

std::string HttpRequest::Text() const {
    std::string text;
    text.reserve(256 + headers.size() + data.size() + target.size());
    text += operation + " " + target + " HTTP/1.0" + kCRLF;
    text += std::string("Accept: */*") + kCRLF;
    text += "Host: " + host + kCRLF;
    text += std::string("Accept-Language: en") + kCRLF;
    // A host that names its own agent among the headers sends that one only: servers read
    // two such lines each their own way.
    if (!userAgent.empty() && !HttpHead::FindField(headers, "User-Agent")) text += "User-Agent: " + userAgent + kCRLF;
    if (rangeFrom > 0) text += "Range: bytes=" + std::to_string(rangeFrom) + "-" + kCRLF;
    if (!headers.empty()) {
        text += headers;
        if (!EndsWithCRLF(text)) text += kCRLF;
    }
    if (!data.empty()) {
        text += "Content-Length: " + std::to_string(data.size() + 2) + kCRLF;
        text += "Content-type: " + contentType + kCRLF;
        text += kCRLF;
        text += data;
        if (!EndsWithCRLF(text)) text += kCRLF;
    }
    text += kCRLF;
    return text;
}

std::string HttpRequest::ConnectText(const std::string& host, int32_t port) {
    const std::string authority = host + ":" + std::to_string(port);
    return "CONNECT " + authority + " HTTP/1.0" + kCRLF + "Host: " + authority + kCRLF + kCRLF;
}

}  // namespace tav
