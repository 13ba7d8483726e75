// An HTTP response on its own: interim answers and the header block in any pieces, and the
// body's start in the piece that ends it.
#include "transfer/HttpResponse.hpp"

#include "transfer/TransferTestUtil.hpp"

using tav::HttpResponse;
using Step = HttpResponse::Step;
using namespace transfertest;

namespace {
Step Feed(HttpResponse& r, const std::string& piece) {
    return r.Feed(reinterpret_cast<const uint8_t*>(piece.data()), piece.size());
}
}  // namespace

// Interim answers, the real header block and the body's first bytes cut at every place: the
// real block alone is the head, and body bytes in the piece that ends it are kept.
TEST(HttpResponseTest, ResponseCutAtEveryPlaceSkipsInterimAnswersAndKeepsEveryBodyByte) {
    const std::string interim = "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 102 Processing\r\nX: y\r\n\r\n";
    const std::string body = EveryByteValue(300);
    const std::string response = interim + "HTTP/1.0 200 OK\r\nContent-Length: 300\r\nX-Pad: abc\r\n\r\n" + body;
    const size_t headerEnd = response.find("\r\n\r\n", interim.size()) + 4;
    for (size_t cut = 0; cut < headerEnd + 3; ++cut) {
        HttpResponse r;
        r.Begin(true);
        EXPECT_EQ(Feed(r, response.substr(0, cut)), cut > headerEnd ? Step::Body : Step::More) << cut;
        if (cut >= interim.size()) {
            EXPECT_EQ(r.Head().Text(), response.substr(interim.size(), std::min(cut, headerEnd) - interim.size())) << cut;
        }
        EXPECT_EQ(Feed(r, response.substr(cut)), Step::Done) << cut;
        EXPECT_EQ(r.Head().Text(), response.substr(interim.size(), headerEnd - interim.size())) << cut;
        EXPECT_EQ(r.ContentLength(), 300);
        EXPECT_FALSE(r.Overlong());
        const tav::Variant got = r.TakeBody();
        EXPECT_TRUE(std::string(got.AsBytes().begin(), got.AsBytes().end()) == body) << cut;
    }
    // 101 is no interim answer; an endless run of interim ones is cut off.
    const std::string real = "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\n";
    HttpResponse r;
    r.Begin(false);
    EXPECT_EQ(Feed(r, "HTTP/1.1 101 Switching\r\n\r\n"), Step::Refused);
    r.Begin(false);
    std::string endless;
    for (int i = 0; i <= HttpResponse::kMaxInterim; ++i) endless += "HTTP/1.1 100 Continue\r\n\r\n";
    EXPECT_EQ(Feed(r, endless + real), Step::Broken);
}
