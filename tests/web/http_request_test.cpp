#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "HttpRequest.h"

namespace {

using kivo::web::HttpLimits;
using kivo::web::HttpPart;
using kivo::web::HttpRequest;
using kivo::web::HttpRequestReader;
using State = HttpRequestReader::State;

struct Read {
  State state;
  HttpRequest request;
  int status = 0;
};

// Feeds text in pieces of step bytes (0: at once) and stops at the first
// complete or failed request.
Read Feed(const std::string& text, size_t step, const HttpLimits& limits = HttpLimits()) {
  HttpRequestReader reader(limits);
  State state = State::kNeedMore;
  if (step == 0) step = text.size() + 1;
  for (size_t at = 0; at < text.size() && state == State::kNeedMore; at += step) {
    state = reader.Feed(text.data() + at, std::min(step, text.size() - at));
  }
  return {state, reader.Request(), reader.ErrorStatus()};
}

TEST(HttpRequest, WholeRequestsReadTheSameInAnyPieces) {
  const struct {
    const char* text;
    const char* method;
    const char* path;
    const char* query;
    const char* body;
    bool keepAlive;
  } cases[] = {
      {"GET / HTTP/1.1\r\nHost: x\r\n\r\n", "GET", "/", "", "", true},
      {"GET /api/query?catalog=c&key=a%20b HTTP/1.1\r\n\r\n", "GET", "/api/query", "catalog=c&key=a%20b", "", true},
      // Blank lines before the request, bare LF line ends, a percent-encoded
      // path, HTTP/1.0 closing by default.
      {"\r\n\nGET /a%2Fb%C3%A9 HTTP/1.0\n\n", "GET", "/a/b\xc3\xa9", "", "", false},
      {"GET / HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n", "GET", "/", "", "", true},
      {"GET / HTTP/1.1\r\nConnection: foo, close\r\n\r\n", "GET", "/", "", "", false},
      {"POST /api/query HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello", "POST", "/api/query", "", "hello", true},
      {"POST /q HTTP/1.1\r\nContent-Length: 0\r\n\r\n", "POST", "/q", "", "", true},
      // Chunked, with extensions, a trailer and hex sizes in either case.
      {"POST /q HTTP/1.1\r\nTransfer-Encoding: Chunked\r\n\r\n5;x=y\r\nhello\r\nA\r\n0123456789\r\n0\r\n"
       "Trailer-Field: 1\r\n\r\n",
       "POST", "/q", "", "hello0123456789", true},
      {"POST /q HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", "POST", "/q", "", "", true},
      // The absolute form names the path after the authority.
      {"GET http://example.test:8080/api/image?k=v HTTP/1.1\r\n\r\n", "GET", "/api/image", "k=v", "", true},
      {"GET http://example.test?k=v HTTP/1.1\r\n\r\n", "GET", "/", "k=v", "", true},
      // Equal lengths repeated are one length.
      {"PUT /x HTTP/1.1\r\nContent-Length: 2, 2\r\nContent-Length: 2\r\n\r\nab", "PUT", "/x", "", "ab", true},
  };
  for (const auto& c : cases) {
    const std::string text = c.text;
    for (size_t step : {size_t{0}, size_t{1}, size_t{2}, size_t{7}}) {
      SCOPED_TRACE(text + " in pieces of " + std::to_string(step));
      const Read r = Feed(text, step);
      ASSERT_EQ(r.state, State::kComplete);
      EXPECT_EQ(r.request.method, c.method);
      EXPECT_EQ(r.request.path, c.path);
      EXPECT_EQ(r.request.query, c.query);
      EXPECT_EQ(r.request.body, c.body);
      EXPECT_EQ(r.request.keepAlive, c.keepAlive);
    }
  }
}

TEST(HttpRequest, HeadersAreFoundByLowerCaseName) {
  const Read r = Feed("GET / HTTP/1.1\r\nHOST:  example.test \t\r\nX-A: 1\r\nx-a: 2\r\nEmpty:\r\n\r\n", 0);
  ASSERT_EQ(r.state, State::kComplete);
  EXPECT_EQ(r.request.Header("host"), "example.test");
  EXPECT_EQ(r.request.headers.count("x-a"), 2u);
  EXPECT_EQ(r.request.Header("x-a"), "1");
  EXPECT_EQ(r.request.headers.count("empty"), 1u);
  EXPECT_EQ(r.request.Header("missing"), "");
}

TEST(HttpRequest, IncompleteRequestsWaitForMore) {
  for (const char* text : {"", "GET", "GET / HTTP/1.1\r\nHost: x\r\n", "GET / HTTP/1.1\r\nHost: x\r\n\r",
                           "POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\n123456789",
                           "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n",
                           "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n"}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(Feed(text, 1).state, State::kNeedMore);
  }
}

TEST(HttpRequest, BadRequestsAreRefusedWithTheirStatus) {
  HttpLimits small;
  small.maxHeadBytes = 200;
  small.maxTargetBytes = 64;
  small.maxFields = 3;
  small.maxBodyBytes = 10;
  const std::string longTarget = "GET /" + std::string(100, 'a') + " HTTP/1.1\r\n\r\n";
  const struct {
    std::string text;
    int status;
  } cases[] = {
      {"GET / HTTP/1.1 extra\r\n\r\n", 400},
      {"GET  / HTTP/1.1\r\n\r\n", 400},
      {"GET /\r\n\r\n", 400},
      {"G(T / HTTP/1.1\r\n\r\n", 400},
      {"GET / FTP/1.1\r\n\r\n", 400},
      {"GET / HTTP/2.0\r\n\r\n", 505},
      {"GET / HTTP/1.2\r\n\r\n", 505},
      {"GET relative HTTP/1.1\r\n\r\n", 400},
      {std::string("GET /a\x01 HTTP/1.1\r\n\r\n"), 400},
      {longTarget, 414},
      {"GET /" + std::string(200, 'a'), 414},  // a request line that never ends
      // A long request line in a head too large is refused for the line,
      // however the head arrives.
      {"GET /" + std::string(200, 'a') + " HTTP/1.1\r\nX: " + std::string(300, 'v') + "\r\n\r\n", 414},
      {"GET / HTTP/1.1\r\nX: " + std::string(300, 'v') + "\r\n\r\n", 431},
      {"GET / HTTP/1.1\r\nX: " + std::string(300, 'v'), 431},  // a head that never ends
      {"GET / HTTP/1.1\r\nA: 1\r\nB: 2\r\nC: 3\r\nD: 4\r\n\r\n", 431},
      {"GET / HTTP/1.1\r\nNo colon\r\n\r\n", 400},
      {"GET / HTTP/1.1\r\nBad name: v\r\n\r\n", 400},
      {"GET / HTTP/1.1\r\n: v\r\n\r\n", 400},
      {"GET / HTTP/1.1\r\nA: 1\r\n folded\r\n\r\n", 400},
      {std::string("GET / HTTP/1.1\r\nA: a") + '\0' + "b\r\n\r\n", 400},
      {"POST / HTTP/1.1\r\nContent-Length: 11\r\n\r\n", 413},
      {"POST / HTTP/1.1\r\nContent-Length: 99999999999999999999999\r\n\r\n", 413},
      {"POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n", 400},
      {"POST / HTTP/1.1\r\nContent-Length: 1 2\r\n\r\n", 400},
      {"POST / HTTP/1.1\r\nContent-Length: 0x5\r\n\r\n", 400},
      {"POST / HTTP/1.1\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\nabc", 400},
      // Framing two ways could be read two ways by two servers: refused.
      {"POST / HTTP/1.1\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", 400},
      {"POST / HTTP/1.1\r\nTransfer-Encoding: gzip, chunked\r\n\r\n", 501},
      {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n\r\n", 501},
      {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", 400},
      {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5 x\r\n", 400},
      {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabcX\r\n", 400},
      {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n8\r\n12345678\r\n3\r\n", 413},
      {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nfffffffffffffffff\r\n", 413},
      {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n" + std::string(2000, '0'), 400},
      {"POST / HTTP/1.1\r\nExpect: something\r\n\r\n", 417},
  };
  for (const auto& c : cases) {
    for (size_t step : {size_t{0}, size_t{1}}) {
      SCOPED_TRACE(c.text + " in pieces of " + std::to_string(step));
      const Read r = Feed(c.text, step, small);
      EXPECT_EQ(r.state, State::kFailed);
      EXPECT_EQ(r.status, c.status);
    }
  }
}

TEST(HttpRequest, PipelinedRequestsAreTakenInTurn) {
  HttpRequestReader reader{HttpLimits()};
  const std::string two =
      "POST /a HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc\r\nGET /b?x=1 HTTP/1.1\r\n\r\nGET /c HTTP/1.1\r\n";
  ASSERT_EQ(reader.Feed(two.data(), two.size()), State::kComplete);
  EXPECT_EQ(reader.Request().body, "abc");
  ASSERT_EQ(reader.Next(), State::kComplete);
  EXPECT_EQ(reader.Request().path, "/b");
  EXPECT_EQ(reader.Request().body, "");
  // The third is not complete yet; it is a request in progress.
  ASSERT_EQ(reader.Next(), State::kNeedMore);
  EXPECT_TRUE(reader.InRequest());
  ASSERT_EQ(reader.Feed("\r\n", 2), State::kComplete);
  EXPECT_EQ(reader.Request().path, "/c");
  // Nothing after it: idle, even with stray line ends.
  ASSERT_EQ(reader.Next(), State::kNeedMore);
  EXPECT_FALSE(reader.InRequest());
  ASSERT_EQ(reader.Feed("\r\n", 2), State::kNeedMore);
  EXPECT_FALSE(reader.InRequest());
}

TEST(HttpRequest, ContinueIsAskedForOnceWhenTheBodyIsAwaited) {
  HttpRequestReader reader{HttpLimits()};
  const std::string head = "POST /q HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 4\r\n\r\n";
  ASSERT_EQ(reader.Feed(head.data(), head.size()), State::kNeedMore);
  EXPECT_TRUE(reader.TakeContinue());
  EXPECT_FALSE(reader.TakeContinue());
  ASSERT_EQ(reader.Feed("body", 4), State::kComplete);
  EXPECT_EQ(reader.Request().body, "body");
  // A body sent without waiting needs no continue.
  HttpRequestReader eager{HttpLimits()};
  const std::string whole = head + "body";
  ASSERT_EQ(eager.Feed(whole.data(), whole.size()), State::kComplete);
  EXPECT_FALSE(eager.TakeContinue());
}

TEST(HttpRequest, QueryStringsAreDecoded) {
  using Pairs = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(kivo::web::ParseQuery("a=1&b=x+y%2Bz&&c&d=&%zz=%4"),
            (Pairs{{"a", "1"}, {"b", "x y+z"}, {"c", ""}, {"d", ""}, {"%zz", "%4"}}));
  EXPECT_EQ(kivo::web::ParseQuery("k=a%3Db%26c&k=%C3%A9"), (Pairs{{"k", "a=b&c"}, {"k", "\xc3\xa9"}}));
  EXPECT_EQ(kivo::web::ParseQuery(""), Pairs{});
  EXPECT_EQ(kivo::web::PercentDecode("a+b%20c%", false), "a+b c%");
}

TEST(HttpRequest, MultipartFormsSplitIntoParts) {
  const std::string type = "multipart/form-data; boundary=\"XyZ\"";
  const std::string body =
      "preamble\r\n--XyZ\r\nContent-Disposition: form-data; name=\"catalog\"\r\n\r\ncat\r\n"
      "--XyZ\r\nContent-Disposition: form-data; name=\"image\"; filename=\"a \\\"b\\\".png\"\r\n"
      "Content-Type: image/png\r\n\r\n\x89PNG\r\n--Xy not the end\r\n--XyZ--\r\nepilogue";
  std::vector<HttpPart> parts;
  std::string error;
  ASSERT_TRUE(kivo::web::ParseMultipart(type, body, &parts, &error)) << error;
  ASSERT_EQ(parts.size(), 2u);
  EXPECT_EQ(parts[0].name, "catalog");
  EXPECT_EQ(parts[0].filename, "");
  EXPECT_EQ(parts[0].content, "cat");
  EXPECT_EQ(parts[1].name, "image");
  EXPECT_EQ(parts[1].filename, "a \"b\".png");
  EXPECT_EQ(parts[1].contentType, "image/png");
  EXPECT_EQ(parts[1].content, "\x89PNG\r\n--Xy not the end");

  const struct {
    std::string type, body;
  } bad[] = {
      {"multipart/form-data", "--x\r\n\r\n--x--"},
      {"multipart/form-data; boundary=", "--\r\n"},
      {"multipart/form-data; boundary=x", "no delimiter at all"},
      {"multipart/form-data; boundary=x", "--x\r\nContent-Disposition: form-data; name=a\r\n\r\nunterminated"},
      {"multipart/form-data; boundary=x", "--x\r\nContent-Disposition: form-data\r\n\r\nv\r\n--x--"},
      {"multipart/form-data; boundary=x", "--x\r\nno colon\r\n\r\nv\r\n--x--"},
      {"multipart/form-data; boundary=x", "--xjunk\r\n"},
      {"multipart/form-data; boundary=x", "--x\r\nContent-Disposition: form-data; name=a\r\n"},
  };
  for (const auto& c : bad) {
    SCOPED_TRACE(c.body);
    EXPECT_FALSE(kivo::web::ParseMultipart(c.type, c.body, &parts, &error));
    EXPECT_FALSE(error.empty());
  }
  // A bound on the number of parts.
  std::string many;
  for (int i = 0; i < 5; ++i) many += "--x\r\nContent-Disposition: form-data; name=a\r\n\r\nv\r\n";
  many += "--x--";
  EXPECT_TRUE(kivo::web::ParseMultipart("multipart/form-data; boundary=x", many, &parts, &error, 5));
  EXPECT_FALSE(kivo::web::ParseMultipart("multipart/form-data; boundary=x", many, &parts, &error, 4));
}

TEST(HttpRequest, AnswersCarryTheirLengthAndConnection) {
  kivo::web::HttpResponse r;
  r.status = 405;
  r.SetContent("{}", "application/json");
  r.SetHeader("Allow", "GET");
  r.SetHeader("content-type", "application/json; charset=utf-8");
  EXPECT_EQ(kivo::web::SerializeResponse(r, true, false),
            "HTTP/1.1 405 Method Not Allowed\r\nContent-Type: application/json; charset=utf-8\r\nAllow: GET\r\n"
            "Content-Length: 2\r\n\r\n{}");
  EXPECT_EQ(kivo::web::SerializeResponse(r, false, true),
            "HTTP/1.1 405 Method Not Allowed\r\nContent-Type: application/json; charset=utf-8\r\nAllow: GET\r\n"
            "Content-Length: 2\r\nConnection: close\r\n\r\n");
}

}  // namespace
