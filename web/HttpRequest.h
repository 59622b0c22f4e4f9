// HTTP/1.1 requests as kivo serve reads them off a connection: an
// incremental reader that is given bytes as they arrive and says when a whole
// request (head and body) is there, within fixed bounds, so that nothing is
// handed to a worker before it is complete; the query string and
// multipart/form-data bodies; and the text of an answer.
//
// What the reader accepts: a request line "METHOD /target HTTP/1.0|1.1",
// header lines "Name: value" (CRLF or bare LF line ends), and a body of
// Content-Length bytes or in chunked transfer coding. What it refuses, with
// the status to answer: a malformed head (400), a head larger than its bound
// or with too many fields (431), a target longer than its bound (414), a
// body larger than its bound (413), another transfer coding (501), another
// HTTP version (505). Both Content-Length and Transfer-Encoding, or two
// different lengths, are refused (400): the message could be framed two ways.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace kivo {
namespace web {

struct HttpLimits {
  size_t maxHeadBytes = 16u << 10;  // request line and header fields
  size_t maxTargetBytes = 8u << 10;
  size_t maxFields = 100;
  size_t maxBodyBytes = 32u << 20;
};

struct HttpRequest {
  std::string method;   // as sent ("GET", "POST", ...)
  std::string target;   // as sent
  std::string path;     // the target's path, percent-decoded
  std::string query;    // the target's query string, as sent (no '?')
  int minorVersion = 1;  // HTTP/1.minorVersion
  // Header fields by lower-case name, values trimmed, in arrival order.
  std::multimap<std::string, std::string> headers;
  std::string body;     // de-chunked
  bool keepAlive = true;
  bool expectsContinue = false;  // "Expect: 100-continue"

  // The first value of a header (name in lower case), or empty.
  std::string Header(const std::string& lowerName) const;
};

class HttpRequestReader {
 public:
  enum class State { kNeedMore, kComplete, kFailed };

  explicit HttpRequestReader(const HttpLimits& limits) : limits_(limits) {}

  // Adds bytes from the peer and reads as far as they go. kComplete: a whole
  // request is in Request(); bytes after it stay buffered for Next(). After
  // kFailed the connection is to be answered ErrorStatus() and closed.
  State Feed(const char* data, size_t n);
  // Drops the completed request and reads the next from what is buffered.
  State Next();

  HttpRequest& Request() { return request_; }
  // True from the first byte of a request until it completes (blank lines
  // between requests do not count).
  bool InRequest() const;
  // The head is complete, the body is still arriving, and the client waits
  // for "100 Continue" before sending it. True once per request.
  bool TakeContinue();
  int ErrorStatus() const { return errorStatus_; }
  const std::string& Error() const { return error_; }

 private:
  enum class Phase { kHead, kFixedBody, kChunkSize, kChunkData, kChunkEnd, kTrailer, kDone, kFailed };

  State Advance();
  State Fail(int status, std::string message);
  bool Refuse(int status, std::string message);  // Fail, for ReadHead
  bool ReadHead(size_t headEnd);
  bool ReadLine(std::string* line);

  HttpLimits limits_;
  std::string buffer_;
  size_t pos_ = 0;      // bytes of buffer_ already read
  size_t scanned_ = 0;  // where the search for the head's end goes on
  size_t trailerBytes_ = 0;
  Phase phase_ = Phase::kHead;
  HttpRequest request_;
  size_t remaining_ = 0;  // bytes left of the fixed body or the current chunk
  bool continuePending_ = false;
  int errorStatus_ = 0;
  std::string error_;
};

// The decoded form of a percent-encoded text; '+' becomes a blank when
// plusIsSpace (query strings). Malformed escapes are kept as they are.
std::string PercentDecode(const std::string& text, bool plusIsSpace);

// The name=value pairs of a query string, decoded, in order; a pair without
// '=' has an empty value, and empty pairs are skipped.
std::vector<std::pair<std::string, std::string>> ParseQuery(const std::string& query);

struct HttpPart {
  std::string name;
  std::string filename;  // empty for a plain field
  std::string contentType;
  std::string content;
};

// The parts of a multipart/form-data body, given the request's Content-Type
// (which carries the boundary). False with the reason for a body that is not
// one: no boundary, a missing final delimiter, a part without a name, or
// more than maxParts parts.
bool ParseMultipart(const std::string& contentType, const std::string& body, std::vector<HttpPart>* parts,
                    std::string* error, size_t maxParts = 64);

// An answer to send.
struct HttpResponse {
  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers;  // besides the length and connection
  std::string body;

  // Sets a header, replacing one of the same name (compared without case).
  void SetHeader(const std::string& name, const std::string& value);
  void SetContent(std::string content, const std::string& type);
};

// The reason phrase of a status ("Not Found").
const char* ReasonPhrase(int status);
// The bytes on the wire: status line, headers, Content-Length, "Connection:
// close" when the connection is to close, and the body unless headOnly.
std::string SerializeResponse(const HttpResponse& response, bool keepAlive, bool headOnly);

}  // namespace web
}  // namespace kivo
