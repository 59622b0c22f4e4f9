#include "HttpRequest.h"

#include <cstring>

namespace kivo {
namespace web {
namespace {

// Longest chunk-size line and trailer section of a chunked body.
constexpr size_t kMaxChunkLine = 1024;
constexpr size_t kMaxTrailerBytes = 16u << 10;

bool IsTokenChar(unsigned char c) {
  if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
  return c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

bool IsToken(const std::string& text) {
  if (text.empty()) return false;
  for (unsigned char c : text) {
    if (!IsTokenChar(c)) return false;
  }
  return true;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return text;
}

bool EqualNoCase(const std::string& a, const char* b) { return Lower(a) == b; }

std::string Trim(const std::string& text) {
  size_t b = 0, e = text.size();
  while (b < e && (text[b] == ' ' || text[b] == '\t')) ++b;
  while (e > b && (text[e - 1] == ' ' || text[e - 1] == '\t')) --e;
  return text.substr(b, e - b);
}

// The comma-separated items of a field value, trimmed, empty ones skipped.
std::vector<std::string> ListItems(const std::string& value) {
  std::vector<std::string> items;
  size_t start = 0;
  while (start <= value.size()) {
    size_t comma = value.find(',', start);
    if (comma == std::string::npos) comma = value.size();
    std::string item = Trim(value.substr(start, comma - start));
    if (!item.empty()) items.push_back(std::move(item));
    start = comma + 1;
  }
  return items;
}

// A decimal length of at most max; false for anything else.
bool ParseLength(const std::string& text, size_t max, size_t* value, bool* tooLarge) {
  if (text.empty()) return false;
  size_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    if (v > (max - static_cast<size_t>(c - '0')) / 10) {
      *tooLarge = true;
      return false;
    }
    v = v * 10 + static_cast<size_t>(c - '0');
  }
  *value = v;
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string HttpRequest::Header(const std::string& lowerName) const {
  auto it = headers.find(lowerName);
  return it == headers.end() ? std::string() : it->second;
}

HttpRequestReader::State HttpRequestReader::Fail(int status, std::string message) {
  phase_ = Phase::kFailed;
  errorStatus_ = status;
  error_ = std::move(message);
  return State::kFailed;
}

bool HttpRequestReader::Refuse(int status, std::string message) {
  Fail(status, std::move(message));
  return false;
}

HttpRequestReader::State HttpRequestReader::Feed(const char* data, size_t n) {
  if (phase_ == Phase::kFailed) return State::kFailed;
  // What was read is of no more use: the head is parsed, the body copied.
  buffer_.erase(0, pos_);
  scanned_ = scanned_ > pos_ ? scanned_ - pos_ : 0;
  pos_ = 0;
  buffer_.append(data, n);
  if (phase_ == Phase::kDone) return State::kComplete;
  return Advance();
}

HttpRequestReader::State HttpRequestReader::Next() {
  if (phase_ == Phase::kFailed) return State::kFailed;
  buffer_.erase(0, pos_);
  pos_ = 0;
  scanned_ = 0;
  request_ = HttpRequest();
  remaining_ = 0;
  trailerBytes_ = 0;
  continuePending_ = false;
  phase_ = Phase::kHead;
  return Advance();
}

bool HttpRequestReader::InRequest() const {
  if (phase_ == Phase::kHead) return pos_ < buffer_.size();
  return phase_ != Phase::kFailed;
}

bool HttpRequestReader::TakeContinue() {
  const bool pending = continuePending_;
  continuePending_ = false;
  return pending;
}

bool HttpRequestReader::ReadLine(std::string* line) {
  const size_t nl = buffer_.find('\n', pos_);
  if (nl == std::string::npos) return false;
  size_t end = nl;
  if (end > pos_ && buffer_[end - 1] == '\r') --end;
  line->assign(buffer_, pos_, end - pos_);
  pos_ = nl + 1;
  return true;
}

HttpRequestReader::State HttpRequestReader::Advance() {
  for (;;) {
    const size_t available = buffer_.size() - pos_;
    switch (phase_) {
      case Phase::kHead: {
        // Blank lines before a request line are allowed (and ignored).
        while (pos_ < buffer_.size() && (buffer_[pos_] == '\r' || buffer_[pos_] == '\n')) ++pos_;
        if (scanned_ < pos_) scanned_ = pos_;
        // The head ends at the first empty line; scanned_ keeps the search
        // from starting over with every byte a slow peer sends.
        size_t end = std::string::npos;
        for (size_t i = scanned_; i < buffer_.size(); ++i) {
          if (buffer_[i] != '\n') continue;
          if (i + 1 < buffer_.size() && buffer_[i + 1] == '\n') {
            end = i + 2;
            break;
          }
          if (i + 2 < buffer_.size() && buffer_[i + 1] == '\r' && buffer_[i + 2] == '\n') {
            end = i + 3;
            break;
          }
        }
        // The request line's bound first, whether or not the head is
        // complete, so that the pieces a head arrives in never change the
        // answer.
        const size_t nl = buffer_.find('\n', pos_);
        const size_t lineLength = (nl == std::string::npos ? buffer_.size() : nl) - pos_;
        if (lineLength > limits_.maxTargetBytes + 32) {
          return Fail(414, "the request line is longer than " + std::to_string(limits_.maxTargetBytes) + " bytes");
        }
        const size_t headLength = (end == std::string::npos ? buffer_.size() : end) - pos_;
        if (headLength > limits_.maxHeadBytes) {
          return Fail(431, "the request head is larger than " + std::to_string(limits_.maxHeadBytes) + " bytes");
        }
        if (end == std::string::npos) {
          // Keep the last two bytes for the next look: they may begin the
          // empty line.
          scanned_ = buffer_.size() > pos_ + 2 ? buffer_.size() - 2 : pos_;
          return State::kNeedMore;
        }
        if (!ReadHead(end)) return State::kFailed;
        pos_ = end;
        continue;
      }
      case Phase::kFixedBody:
      case Phase::kChunkData: {
        const size_t take = available < remaining_ ? available : remaining_;
        request_.body.append(buffer_, pos_, take);
        pos_ += take;
        remaining_ -= take;
        if (remaining_ > 0) return State::kNeedMore;
        phase_ = phase_ == Phase::kFixedBody ? Phase::kDone : Phase::kChunkEnd;
        continue;
      }
      case Phase::kChunkSize: {
        std::string line;
        // A line of kMaxChunkLine bytes may still be waiting for its LF
        // after a CR.
        if (!ReadLine(&line)) {
          if (available > kMaxChunkLine + 1) return Fail(400, "a chunk size line is too long");
          return State::kNeedMore;
        }
        if (line.size() > kMaxChunkLine) return Fail(400, "a chunk size line is too long");
        size_t size = 0, digits = 0;
        for (; digits < line.size() && HexDigit(line[digits]) >= 0; ++digits) {
          if (digits == 15) {
            return Fail(413, "the request body is larger than " + std::to_string(limits_.maxBodyBytes) + " bytes");
          }
          size = size * 16 + static_cast<size_t>(HexDigit(line[digits]));
        }
        size_t rest = digits;
        while (rest < line.size() && (line[rest] == ' ' || line[rest] == '\t')) ++rest;
        if (digits == 0 || (rest < line.size() && line[rest] != ';')) return Fail(400, "a chunk size is not a hex number");
        if (size > limits_.maxBodyBytes - request_.body.size()) {
          return Fail(413, "the request body is larger than " + std::to_string(limits_.maxBodyBytes) + " bytes");
        }
        remaining_ = size;
        phase_ = size == 0 ? Phase::kTrailer : Phase::kChunkData;
        continue;
      }
      case Phase::kChunkEnd: {
        if (available >= 1 && buffer_[pos_] == '\n') {
          pos_ += 1;
        } else if (available >= 2 && buffer_[pos_] == '\r' && buffer_[pos_ + 1] == '\n') {
          pos_ += 2;
        } else if (available >= 2 || (available == 1 && buffer_[pos_] != '\r')) {
          return Fail(400, "a chunk does not end with a line end");
        } else {
          return State::kNeedMore;
        }
        phase_ = Phase::kChunkSize;
        continue;
      }
      case Phase::kTrailer: {
        // Trailer fields are read past and ignored.
        const size_t before = pos_;
        std::string line;
        if (!ReadLine(&line)) {
          if (trailerBytes_ + available > kMaxTrailerBytes) return Fail(431, "the request trailer is too large");
          return State::kNeedMore;
        }
        trailerBytes_ += pos_ - before;
        if (trailerBytes_ > kMaxTrailerBytes) return Fail(431, "the request trailer is too large");
        if (line.empty()) phase_ = Phase::kDone;
        continue;
      }
      case Phase::kDone:
        continuePending_ = false;
        return State::kComplete;
      case Phase::kFailed:
        return State::kFailed;
    }
  }
}

// Reads the head ending at headEnd into request_ and sets the body phase.
bool HttpRequestReader::ReadHead(size_t headEnd) {
  std::vector<std::string> lines;
  size_t start = pos_;
  while (start < headEnd) {
    size_t nl = buffer_.find('\n', start);
    size_t end = nl;
    if (end > start && buffer_[end - 1] == '\r') --end;
    lines.emplace_back(buffer_, start, end - start);
    start = nl + 1;
  }
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  if (lines.empty()) return Refuse(400, "the request has no request line");

  // METHOD SP target SP HTTP/1.x, single blanks.
  const std::string& first = lines[0];
  const size_t s1 = first.find(' ');
  const size_t s2 = s1 == std::string::npos ? s1 : first.find(' ', s1 + 1);
  if (s2 == std::string::npos || first.find(' ', s2 + 1) != std::string::npos) {
    return Refuse(400, "the request line is not \"METHOD target HTTP/1.1\"");
  }
  HttpRequest& r = request_;
  r.method = first.substr(0, s1);
  r.target = first.substr(s1 + 1, s2 - s1 - 1);
  const std::string version = first.substr(s2 + 1);
  if (!IsToken(r.method)) return Refuse(400, "the request method is not a name");
  if (version.size() == 8 && version.compare(0, 5, "HTTP/") == 0 && version[6] == '.' && version[5] >= '0' &&
      version[5] <= '9' && version[7] >= '0' && version[7] <= '9') {
    if (version[5] != '1' || version[7] > '1') {
      return Refuse(505, "only HTTP/1.0 and HTTP/1.1 are spoken here");
    }
    r.minorVersion = version[7] - '0';
  } else {
    return Refuse(400, "the request line is not \"METHOD target HTTP/1.1\"");
  }
  if (r.target.size() > limits_.maxTargetBytes) {
    return Refuse(414, "the request target is longer than " + std::to_string(limits_.maxTargetBytes) + " bytes");
  }
  for (unsigned char c : r.target) {
    if (c <= 0x20 || c == 0x7f) return Refuse(400, "the request target has a control character");
  }
  std::string target = r.target;
  // The absolute form (as sent to a proxy) names the path after the
  // authority.
  for (const char* scheme : {"http://", "https://"}) {
    const size_t n = std::strlen(scheme);
    if (target.size() > n && EqualNoCase(target.substr(0, n), scheme)) {
      const size_t slash = target.find_first_of("/?", n);
      target = slash == std::string::npos ? "/" : target.substr(slash);
      if (target[0] == '?') target.insert(0, "/");
    }
  }
  if (target.empty() || target[0] != '/') return Refuse(400, "the request target is not a path");
  const size_t question = target.find('?');
  r.path = PercentDecode(target.substr(0, question), false);
  r.query = question == std::string::npos ? std::string() : target.substr(question + 1);

  if (lines.size() - 1 > limits_.maxFields) {
    return Refuse(431, "the request has more than " + std::to_string(limits_.maxFields) + " header fields");
  }
  for (size_t i = 1; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    if (line[0] == ' ' || line[0] == '\t') return Refuse(400, "folded header lines are not accepted");
    const size_t colon = line.find(':');
    if (colon == std::string::npos || !IsToken(line.substr(0, colon))) {
      return Refuse(400, "a header line is not \"Name: value\"");
    }
    std::string value = Trim(line.substr(colon + 1));
    for (unsigned char c : value) {
      if ((c < 0x20 && c != '\t') || c == 0x7f) {
        return Refuse(400, "a header value has a control character");
      }
    }
    r.headers.emplace(Lower(line.substr(0, colon)), std::move(value));
  }

  // Connection and Expect.
  r.keepAlive = r.minorVersion >= 1;
  for (auto range = r.headers.equal_range("connection"); range.first != range.second; ++range.first) {
    for (const std::string& item : ListItems(range.first->second)) {
      if (EqualNoCase(item, "close")) r.keepAlive = false;
      if (EqualNoCase(item, "keep-alive") && r.minorVersion == 0) r.keepAlive = true;
    }
  }
  if (r.headers.count("expect") != 0) {
    if (r.headers.count("expect") > 1 || !EqualNoCase(r.Header("expect"), "100-continue")) {
      return Refuse(417, "only \"Expect: 100-continue\" is understood");
    }
    r.expectsContinue = r.minorVersion >= 1;
  }

  // The body's framing: one way only.
  const size_t codings = r.headers.count("transfer-encoding");
  const size_t lengths = r.headers.count("content-length");
  if (codings > 0 && lengths > 0) {
    return Refuse(400, "the request has both Content-Length and Transfer-Encoding");
  }
  if (codings > 0) {
    if (codings > 1 || !EqualNoCase(r.Header("transfer-encoding"), "chunked")) {
      return Refuse(501, "the only transfer coding understood is chunked");
    }
    phase_ = Phase::kChunkSize;
  } else if (lengths > 0) {
    std::string length;
    for (auto range = r.headers.equal_range("content-length"); range.first != range.second; ++range.first) {
      for (const std::string& item : ListItems(range.first->second)) {
        if (!length.empty() && item != length) return Refuse(400, "the request has two different lengths");
        length = item;
      }
    }
    bool tooLarge = false;
    if (!ParseLength(length, limits_.maxBodyBytes, &remaining_, &tooLarge)) {
      if (tooLarge) {
        return Refuse(413, "the request body is larger than " + std::to_string(limits_.maxBodyBytes) + " bytes");
      }
      return Refuse(400, "the Content-Length is not a number");
    }
    phase_ = remaining_ == 0 ? Phase::kDone : Phase::kFixedBody;
  } else {
    phase_ = Phase::kDone;
  }
  // Asked for only when body bytes are still to come.
  continuePending_ = r.expectsContinue && phase_ != Phase::kDone && headEnd == buffer_.size();
  return true;
}

std::string PercentDecode(const std::string& text, bool plusIsSpace) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%' && i + 2 < text.size() && HexDigit(text[i + 1]) >= 0 && HexDigit(text[i + 2]) >= 0) {
      out.push_back(static_cast<char>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2])));
      i += 2;
    } else if (c == '+' && plusIsSpace) {
      out.push_back(' ');
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::vector<std::pair<std::string, std::string>> ParseQuery(const std::string& query) {
  std::vector<std::pair<std::string, std::string>> pairs;
  size_t start = 0;
  while (start <= query.size()) {
    size_t amp = query.find('&', start);
    if (amp == std::string::npos) amp = query.size();
    const std::string item = query.substr(start, amp - start);
    if (!item.empty()) {
      const size_t eq = item.find('=');
      if (eq == std::string::npos) {
        pairs.emplace_back(PercentDecode(item, true), std::string());
      } else {
        pairs.emplace_back(PercentDecode(item.substr(0, eq), true), PercentDecode(item.substr(eq + 1), true));
      }
    }
    start = amp + 1;
  }
  return pairs;
}

namespace {

// The parameters of a field value such as "form-data; name=\"a\"" or
// "multipart/form-data; boundary=x": names lower-cased, quotes removed.
std::map<std::string, std::string> FieldParameters(const std::string& value) {
  std::map<std::string, std::string> out;
  size_t i = value.find(';');
  while (i != std::string::npos && i < value.size()) {
    ++i;
    while (i < value.size() && (value[i] == ' ' || value[i] == '\t')) ++i;
    const size_t eq = value.find('=', i);
    if (eq == std::string::npos) break;
    const std::string name = Lower(Trim(value.substr(i, eq - i)));
    i = eq + 1;
    std::string v;
    if (i < value.size() && value[i] == '"') {
      for (++i; i < value.size() && value[i] != '"'; ++i) {
        if (value[i] == '\\' && i + 1 < value.size()) ++i;
        v.push_back(value[i]);
      }
      i = value.find(';', i);
    } else {
      const size_t semi = value.find(';', i);
      v = Trim(value.substr(i, semi == std::string::npos ? std::string::npos : semi - i));
      i = semi;
    }
    if (!name.empty() && out.count(name) == 0) out.emplace(name, v);
  }
  return out;
}

}  // namespace

bool ParseMultipart(const std::string& contentType, const std::string& body, std::vector<HttpPart>* parts,
                    std::string* error, size_t maxParts) {
  parts->clear();
  const auto params = FieldParameters(contentType);
  const auto b = params.find("boundary");
  if (b == params.end() || b->second.empty() || b->second.size() > 200) {
    *error = "the multipart form has no boundary";
    return false;
  }
  const std::string delimiter = "--" + b->second;
  // The first delimiter opens the body or follows a preamble line.
  size_t pos;
  if (body.compare(0, delimiter.size(), delimiter) == 0) {
    pos = delimiter.size();
  } else {
    pos = body.find("\r\n" + delimiter);
    if (pos == std::string::npos) {
      *error = "the multipart form has no part";
      return false;
    }
    pos += 2 + delimiter.size();
  }
  const std::string next = "\r\n" + delimiter;
  for (;;) {
    if (body.compare(pos, 2, "--") == 0) return true;  // the closing delimiter
    while (pos < body.size() && (body[pos] == ' ' || body[pos] == '\t')) ++pos;
    if (body.compare(pos, 2, "\r\n") != 0) {
      *error = "a multipart delimiter is not followed by a line end";
      return false;
    }
    pos += 2;
    if (parts->size() == maxParts) {
      *error = "the multipart form has more than " + std::to_string(maxParts) + " parts";
      return false;
    }
    HttpPart part;
    bool named = false;
    // Part header lines up to an empty line.
    for (;;) {
      const size_t eol = body.find("\r\n", pos);
      if (eol == std::string::npos) {
        *error = "a multipart part head does not end";
        return false;
      }
      const std::string line = body.substr(pos, eol - pos);
      pos = eol + 2;
      if (line.empty()) break;
      const size_t colon = line.find(':');
      if (colon == std::string::npos) {
        *error = "a multipart part header is not \"Name: value\"";
        return false;
      }
      const std::string name = Lower(Trim(line.substr(0, colon)));
      const std::string value = Trim(line.substr(colon + 1));
      if (name == "content-disposition") {
        const auto p = FieldParameters(value);
        if (p.count("name") != 0) {
          part.name = p.at("name");
          named = true;
        }
        if (p.count("filename") != 0) part.filename = p.at("filename");
      } else if (name == "content-type") {
        part.contentType = value;
      }
    }
    if (!named) {
      *error = "a multipart part has no name";
      return false;
    }
    const size_t end = body.find(next, pos);
    if (end == std::string::npos) {
      *error = "the multipart form ends without its closing delimiter";
      return false;
    }
    part.content = body.substr(pos, end - pos);
    parts->push_back(std::move(part));
    pos = end + next.size();
  }
}

void HttpResponse::SetHeader(const std::string& name, const std::string& value) {
  const std::string lower = Lower(name);
  for (auto& h : headers) {
    if (Lower(h.first) == lower) {
      h.second = value;
      return;
    }
  }
  headers.emplace_back(name, value);
}

void HttpResponse::SetContent(std::string content, const std::string& type) {
  body = std::move(content);
  SetHeader("Content-Type", type);
}

const char* ReasonPhrase(int status) {
  switch (status) {
    case 100: return "Continue";
    case 200: return "OK";
    case 204: return "No Content";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 413: return "Content Too Large";
    case 414: return "URI Too Long";
    case 415: return "Unsupported Media Type";
    case 417: return "Expectation Failed";
    case 422: return "Unprocessable Content";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 503: return "Service Unavailable";
    case 505: return "HTTP Version Not Supported";
    default: return status < 400 ? "OK" : status < 500 ? "Bad Request" : "Internal Server Error";
  }
}

std::string SerializeResponse(const HttpResponse& response, bool keepAlive, bool headOnly) {
  std::string out = "HTTP/1.1 " + std::to_string(response.status) + " " + ReasonPhrase(response.status) + "\r\n";
  for (const auto& h : response.headers) out += h.first + ": " + h.second + "\r\n";
  out += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
  if (!keepAlive) out += "Connection: close\r\n";
  out += "\r\n";
  if (!headOnly) out += response.body;
  return out;
}

}  // namespace web
}  // namespace kivo
