// Demo part for the HTTP transfer manager (order band 400-499): a GET from a small web server
// that a TavTCPSocketMgr runs in this same process on 127.0.0.1.
#include "Tool.hpp"
#include "TransportPrint.hpp"

#include <tavsock/MessageLoop.hpp>
#include <tavsock/TavHTTPTransferMgr.hpp>
#include <tavsock/TavTCPSocketMgr.hpp>

#include <chrono>
#include <cstdio>

namespace tavtool {
namespace {

using SocketPtr = std::shared_ptr<tav::TAVSocket>;

bool HttpPart() {
    // The server: reads a request until its empty line, answers, and closes the connection
    // (an HTTP/1.0 response ends with the close).
    const auto serverMgr = tav::TavTCPSocketMgr::Create();
    std::string request;
    const std::string page = "<html><body>hello from TAVSock</body></html>\n";
    serverMgr->DataReceived.Subscribe([&](const SocketPtr& skt, tav::Variant& info) {
        request += info.ToString();
        if (request.find("\r\n\r\n") == std::string::npos) return;
        skt->Send(tav::Variant("HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
                               std::to_string(page.size()) + "\r\n\r\n" + page));
        serverMgr->DestroySocket(skt);  // its handle closes once the last reference goes
    });
    auto local = tav::TAVSockAddr::Create();
    local->IPAddress("127.0.0.1");
    const auto listener = serverMgr->CreateServerSocket(local);
    const std::string url = "http://" + Endpoint(*listener->LocalAddr()) + "/index.html";

    const auto http = tav::TavHTTPTransferMgr::Create();
    bool ready = false;
    std::string body;
    http->HTTPDataTransferred.Subscribe([](int32_t n) { PrintEvent("HTTPDataTransferred", std::to_string(n) + " bytes"); });
    http->HTTPDataReceived.Subscribe([&](tav::Variant& data) {
        body = data.ToString();
        PrintEvent("HTTPDataReceived", Quoted(body));
    });
    http->HTTPError.Subscribe([](const std::string& code, const std::string& reason) {
        PrintEvent("HTTPError", code + " " + reason);
    });
    http->HTTPObjectError.Subscribe([](int32_t code) { PrintEvent("HTTPObjectError", std::to_string(code)); });
    http->HTTPReady.Subscribe([&](int32_t code) {
        PrintEvent("HTTPReady", std::to_string(code));
        ready = true;
    });

    std::printf("Execute(\"%s\") returns at once; the rest comes from the queue\n", url.c_str());
    std::fflush(stdout);
    http->Timeout(10000);
    http->Execute(url);
    if (!tav::RunMessagesUntil([&] { return ready; }, std::chrono::seconds(15))) {
        std::printf("  no HTTPReady within 15 s\n");
        return false;
    }
    const size_t lineEnd = request.find("\r\n");
    std::printf("the server got the request line %s\n", Quoted(request.substr(0, lineEnd)).c_str());
    std::printf("HTTPHeader starts %s; ContentLength %lld, BytesReceived %lld\n",
                Quoted(http->HTTPHeader().substr(0, http->HTTPHeader().find("\r\n"))).c_str(),
                static_cast<long long>(http->ContentLength()), static_cast<long long>(http->BytesReceived()));
    return body == page && http->BytesReceived() == http->ContentLength();
}

const RegisterDemoPart kHttp{{400, "HTTP transfer manager: a GET from a server in this process (TavHTTPTransferMgr)", HttpPart}};

}  // namespace
}  // namespace tavtool
