// The server end of the query socket exchange.
#include "query/KvQueryService.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "core/KvBytes.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kBlockSize = 16;
constexpr size_t kMaxAnnouncement = 24;
constexpr size_t kReadChunk = 64 * 1024;

// The system's text for an error number. strerror may share one buffer
// between threads; the exchange runs on many at once.
std::string ErrorText(int number) {
  char buffer[128];
  return strerror_r(number, buffer, sizeof buffer);
}

class Exchange {
 public:
  Exchange(int fd, const KvServiceLimits& limits)
      : fd_(fd), limits_(limits), deadline_(Clock::now() + std::chrono::milliseconds(limits.totalTimeoutMs)) {}

  // Reads exactly n bytes into out; false on close, error or timeout.
  bool ReadExact(unsigned char* out, size_t n) {
    size_t done = 0;
    while (done < n) {
      if (!WaitReadable()) return false;
      const ssize_t got = ::recv(fd_, out + done, n - done, 0);
      if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (got <= 0) {
        error_ = got == 0 ? "peer closed the connection" : ErrorText(errno);
        return false;
      }
      done += static_cast<size_t>(got);
    }
    return true;
  }

  // Reads the decimal announcement up to and including its zero byte.
  bool ReadAnnouncement(unsigned long* value) {
    char text[kMaxAnnouncement + 1];
    size_t n = 0;
    for (;;) {
      unsigned char c;
      if (!ReadExact(&c, 1)) return false;
      if (c == '\0') break;
      if (c < '0' || c > '9' || n == kMaxAnnouncement) {
        error_ = "malformed length announcement";
        return false;
      }
      text[n++] = static_cast<char>(c);
    }
    text[n] = '\0';
    if (n == 0 || n > 19) {
      error_ = n == 0 ? "empty length announcement" : "oversized length announcement";
      return false;
    }
    *value = std::strtoul(text, nullptr, 10);
    return true;
  }

  // Reads n bytes, growing the buffer as they arrive rather than trusting n.
  bool ReadGrowing(std::vector<char>* out, size_t n) {
    out->clear();
    while (out->size() < n) {
      const size_t want = std::min(kReadChunk, n - out->size());
      const size_t at = out->size();
      out->resize(at + want);
      if (!ReadExact(reinterpret_cast<unsigned char*>(out->data() + at), want)) return false;
    }
    return true;
  }

  bool WriteAll(const void* bytes, size_t n) {
    const unsigned char* p = static_cast<const unsigned char*>(bytes);
    size_t done = 0;
    while (done < n) {
      if (!WaitWritable()) return false;
      const ssize_t sent = ::send(fd_, p + done, n - done, MSG_NOSIGNAL);
      if (sent < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (sent <= 0) {
        error_ = ErrorText(errno);
        return false;
      }
      done += static_cast<size_t>(sent);
    }
    return true;
  }

  const std::string& error() const { return error_; }
  void set_error(const char* text) { error_ = text; }

 private:
  bool Wait(short events) {
    for (;;) {
      const auto now = Clock::now();
      if (now >= deadline_) {
        error_ = "exchange took too long";
        return false;
      }
      const long remaining =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - now).count();
      const int wait = static_cast<int>(std::min<long>(remaining, limits_.idleTimeoutMs));
      pollfd p{fd_, events, 0};
      const int rc = ::poll(&p, 1, wait);
      if (rc < 0 && errno == EINTR) continue;
      if (rc < 0) {
        error_ = ErrorText(errno);
        return false;
      }
      if (rc == 0) {
        error_ = wait < limits_.idleTimeoutMs ? "exchange took too long" : "peer idle too long";
        return false;
      }
      return true;
    }
  }
  bool WaitReadable() { return Wait(POLLIN); }
  bool WaitWritable() { return Wait(POLLOUT); }

  int fd_;
  const KvServiceLimits& limits_;
  Clock::time_point deadline_;
  std::string error_;
};

}  // namespace

namespace {

int ServeExchange(int fd, const KvServiceLimits& limits, const KvQueryEvaluator& evaluate, KvExchangeResult& r) {
  Exchange x(fd, limits);

  unsigned long announced = 0;
  if (!x.ReadAnnouncement(&announced)) {
    r.error = x.error();
    return -1;
  }
  r.querySize = announced;
  if (announced == 0) {
    // Every text the client sends carries at least its zero byte.
    r.error = "zero length announcement";
    return -1;
  }
  if (announced > limits.maxQuerySize) {
    r.error = "query larger than the server accepts";
    return -1;
  }
  unsigned char ack[kBlockSize] = {'o', 'k', 'a', 'y'};
  if (!x.WriteAll(ack, sizeof ack)) {
    r.error = x.error();
    return -1;
  }
  std::vector<char> text;
  if (!x.ReadGrowing(&text, announced)) {
    r.error = x.error();
    return -1;
  }
  // The text is used up to its first zero byte; one is added if the peer
  // sent none.
  text.push_back('\0');

  KvDatumClass reply;
  r.status = evaluate(text.data(), reply);
  r.resultSize = reply.Data() != nullptr ? reply.Size() : 0;
  char header[kBlockSize];
  std::memset(header, 0, sizeof header);
  if (std::snprintf(header, sizeof header, "%lu %d", r.resultSize, r.status) >= static_cast<int>(sizeof header)) {
    // The block holds at most 15 characters; a result that large cannot be
    // announced, so the peer gets an empty answer with a failure status.
    r.status = -1;
    r.resultSize = 0;
    std::memset(header, 0, sizeof header);
    std::snprintf(header, sizeof header, "0 -1");
  }
  if (!x.WriteAll(header, sizeof header)) {
    r.error = x.error();
    return -1;
  }
  if (r.resultSize == 0) {
    r.completed = true;
    return 0;
  }
  unsigned char okay[6];
  if (!x.ReadExact(okay, sizeof okay)) {
    r.error = x.error();
    return -1;
  }
  if (!x.WriteAll(reply.Data(), reply.Size())) {
    r.error = x.error();
    return -1;
  }
  unsigned char count[4];
  if (!x.ReadExact(count, sizeof count)) {
    r.error = x.error();
    return -1;
  }
  r.completed = true;
  return 0;
}

}  // namespace

int KvServeQueryExchange(int fd, const KvServiceLimits& limits, const KvQueryEvaluator& evaluate,
                         KvExchangeResult* result) {
  KvExchangeResult local;
  KvExchangeResult& r = result != nullptr ? *result : local;
  r = KvExchangeResult();
  try {
    return ServeExchange(fd, limits, evaluate, r);
  } catch (const std::bad_alloc&) {
    // Memory for the text or the reply ran out: the connection is dropped,
    // the server goes on. (Both texts fit a string without allocating.)
    r.completed = false;
    r.error = "out of memory";
    return -1;
  } catch (const std::exception&) {
    r.completed = false;
    r.error = "aborted";
    return -1;
  }
}
