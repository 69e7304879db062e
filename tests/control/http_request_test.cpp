#include "control/http_request.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace velnaro {
namespace {

using ::testing::ElementsAre;
using State = HttpRequestReader::State;

State FeedInPieces(HttpRequestReader& reader, const std::string& bytes, size_t piece) {
  State s = State::kNeedMore;
  for (size_t i = 0; i < bytes.size() && s == State::kNeedMore; i += piece) {
    s = reader.Feed(std::string_view(bytes).substr(i, piece));
  }
  return s;
}

TEST(RequestReader, SameResultWhateverThePieces) {
  const std::string request =
      "POST /phone/?Number=9 HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-www-form-"
      "urlencoded\r\nContent-Length: 12\r\n\r\nAction=CALL";
  for (size_t piece : {1u, 2u, 3u, 5u, 4096u}) {
    HttpRequestReader reader;
    EXPECT_EQ(FeedInPieces(reader, request + "X", piece), State::kDone) << piece;
    EXPECT_EQ(reader.request().kind, HttpMethodKind::kPost);
    EXPECT_EQ(reader.request().target, "/phone/?Number=9");
    EXPECT_TRUE(reader.request().form);
    EXPECT_EQ(reader.request().form_body, "Action=CALLX");
  }
}

TEST(RequestReader, ReusedAfterReset) {
  HttpRequestReader reader;
  EXPECT_EQ(reader.Feed("BREW /a HTTP/1.1\r\n\r\n"), State::kDone);
  EXPECT_EQ(reader.request().kind, HttpMethodKind::kOther);
  EXPECT_EQ(reader.request().method, "BREW");
  reader.Reset();
  EXPECT_TRUE(reader.empty());
  EXPECT_EQ(reader.Feed("HEAD /b HTTP/1.0\r\n\r\n"), State::kDone);
  EXPECT_EQ(reader.request().kind, HttpMethodKind::kHead);
  EXPECT_EQ(reader.request().target, "/b");
  EXPECT_FALSE(reader.request().form);
}

TEST(RequestReader, BoundsAtTheirExactEdges) {
  HttpLimits limits;
  const std::string line_8192 = "GET /" + std::string(8192 - 14, 'a') + " HTTP/1.1";
  ASSERT_EQ(line_8192.size(), 8192u);
  {
    HttpRequestReader reader(limits);
    EXPECT_EQ(reader.Feed(line_8192 + "\r\n\r\n"), State::kDone);
  }
  {
    HttpRequestReader reader(limits);  // detected before the line ends
    EXPECT_EQ(FeedInPieces(reader, "GET /" + std::string(9000, 'a'), 512), State::kError);
    EXPECT_EQ(reader.error_status(), 414);
  }
  // The whole head: 32768 bytes pass, one more does not.
  const std::string start = "GET / HTTP/1.1\r\nX: ";
  const std::string head = start + std::string(32768 - start.size() - 4, 'v') + "\r\n\r\n";
  ASSERT_EQ(head.size(), 32768u);
  {
    HttpRequestReader reader(limits);
    EXPECT_EQ(FeedInPieces(reader, head, 1000), State::kDone);
  }
  {
    HttpRequestReader reader(limits);
    EXPECT_EQ(FeedInPieces(reader, start + "v" + head.substr(start.size()), 1000), State::kError);
    EXPECT_EQ(reader.error_status(), 431);
  }
  // A form body of exactly the bound passes; a chunked one over it is refused as it comes.
  const std::string form_head =
      "POST / HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n";
  {
    HttpRequestReader reader(limits);
    reader.Feed(form_head + "Content-Length: 1048576\r\n\r\n");
    EXPECT_EQ(reader.Feed(std::string(1048576, 'b')), State::kDone);
  }
  {
    HttpRequestReader reader(limits);
    reader.Feed(form_head + "Transfer-Encoding: chunked\r\n\r\n");
    EXPECT_EQ(reader.Feed("100001\r\n" + std::string(0x100001, 'b')), State::kError);
    EXPECT_EQ(reader.error_status(), 413);
  }
  // Bodies that are not forms are read and dropped, whatever their size.
  {
    HttpRequestReader reader(limits);
    reader.Feed("POST / HTTP/1.1\r\nContent-Length: 2000000\r\n\r\n");
    EXPECT_EQ(reader.Feed(std::string(2000000, 'b')), State::kDone);
    EXPECT_EQ(reader.request().form_body, "");
  }
}

// What the access check reads, in any letter case; a field sent twice matches nothing.
TEST(RequestReader, AccessFieldsAndTheirRepeats) {
  HttpRequestReader reader;
  EXPECT_EQ(reader.Feed("OPTIONS /phone/ HTTP/1.1\r\nhost: 127.0.0.1:9090\r\n"
                        "ORIGIN: http://a.example\r\nsec-fetch-site: same-site\r\n"
                        "Access-Control-Request-Method: GET\r\n"
                        "Access-Control-Request-Headers: x-a, x-b\r\n"
                        "Access-Control-Request-Private-Network: true\r\n"
                        "Origin: http://b.example\r\n\r\n"),
            State::kDone);
  const HttpRequest& r = reader.request();
  EXPECT_EQ(r.host, "127.0.0.1:9090");
  EXPECT_EQ(r.origin, "http://a.example, http://b.example");
  EXPECT_EQ(r.sec_fetch_site, "same-site");
  EXPECT_EQ(r.access_control_request_method, "GET");
  EXPECT_EQ(r.access_control_request_headers, "x-a, x-b");
  EXPECT_TRUE(r.access_control_request_private_network);
  // Absent is not empty: nothing carries over to the next request.
  reader.Reset();
  EXPECT_EQ(reader.Feed("GET / HTTP/1.0\r\nOrigin:\r\n\r\n"), State::kDone);
  EXPECT_EQ(reader.request().origin, "");
  EXPECT_EQ(reader.request().host, std::nullopt);
  EXPECT_EQ(reader.request().sec_fetch_site, "");
  EXPECT_EQ(reader.request().access_control_request_method, "");
  EXPECT_FALSE(reader.request().access_control_request_private_network);
}

TEST(RequestReader, EndOfInput) {
  HttpRequestReader reader;
  EXPECT_EQ(reader.FeedEof(), State::kError);  // nothing: the caller just closes
  EXPECT_TRUE(reader.empty());
  reader.Reset();
  reader.Feed("GET / HTTP/1.1\r\n");
  EXPECT_EQ(reader.FeedEof(), State::kError);
  EXPECT_EQ(reader.error_status(), 400);
}

TEST(Decoding, EntriesAndPath) {
  std::vector<std::string> out;
  AppendEntries("", out);
  EXPECT_THAT(out, ElementsAre());
  AppendEntries("&", out);
  EXPECT_THAT(out, ElementsAre(""));
  out.clear();
  AppendEntries("a=1+2&&b=%3d%3D%2&c=%&", out);
  EXPECT_THAT(out, ElementsAre("a=1 2", "", "b===%2", "c=%"));

  HttpRequest request;
  request.target = "/a%20b+c/?x=%41";
  std::string document;
  std::vector<std::string> params;
  DecodeTarget(request, document, params);
  EXPECT_EQ(document, "/a b+c/");
  EXPECT_THAT(params, ElementsAre("x=A"));
  request.target = "HTTP://host:1?y=1";
  DecodeTarget(request, document, params);
  EXPECT_EQ(document, "/");
  EXPECT_THAT(params, ElementsAre("y=1"));
}

// Beside the decoded entries, the same entries as they came: a form's body first, then
// the query, escapes untouched.
TEST(Decoding, EntriesAsTheyCame) {
  HttpRequest request;
  request.form = true;
  request.form_body = "&Action=RECSTOP&n=x+y";
  request.target = "/phone/?note=a%2Bb%26c%3Dd&&m=%zz&";
  std::string document, query = "stale";
  std::vector<std::string> params;
  DecodeTarget(request, document, params, &query);
  EXPECT_THAT(params, ElementsAre("", "Action=RECSTOP", "n=x y", "note=a+b&c=d", "", "m=%zz"));
  EXPECT_EQ(query, "&Action=RECSTOP&n=x+y&note=a%2Bb%26c%3Dd&&m=%zz");

  request.form = false;
  request.target = "/phone/";
  DecodeTarget(request, document, params, &query);
  EXPECT_EQ(query, "");
}

}  // namespace
}  // namespace velnaro
