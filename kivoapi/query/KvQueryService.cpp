// The server end of the query socket exchange: the state machine over bytes
// and a blocking driver for one connected socket.
//
// Server view of one exchange:
//   <-  decimal length of the text plus one, then a zero byte (1 to 19 digits)
//   ->  16 bytes: "okay" and twelve zero bytes
//   <-  exactly that many bytes of query text (used up to its first NUL)
//   ->  16 bytes: "%lu %d" (result size, status) and zero bytes
//   <-  (only when the size is not 0) 6 bytes ("okay" and two zero bytes)
//   ->  the result text
//   <-  4 bytes: the count the peer received (not checked)
#include "query/KvQueryService.h"

#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr size_t kBlockSize = 16;
constexpr size_t kMaxAnnouncement = 24;
constexpr size_t kMaxDigits = 19;
constexpr size_t kOkaySize = 6;
constexpr size_t kCountSize = 4;
// The text's buffer starts at most this large and then doubles, so it never
// holds more than twice what has arrived.
constexpr size_t kFirstTextBuffer = 64 * 1024;
// Bytes a peer may send ahead of their turn: what one read of a driver may
// bring behind the query text.
constexpr size_t kMaxPending = 64 * 1024;

// Frees a buffer's memory, not only its contents.
template <typename T>
void Release(T& buffer) {
  T().swap(buffer);
}

// Buffers from this size on have pages of their own.
constexpr size_t kMappedFrom = 1u << 20;

size_t PageRounded(size_t n) {
  static const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  return (n + page - 1) / page * page;
}

}  // namespace

bool KvTextBuffer::Reserve(size_t n) {
  if (n <= capacity_) return true;
  if (n < kMappedFrom) {
    void* grown = std::realloc(data_, n);
    if (grown == nullptr) return false;
    data_ = static_cast<char*>(grown);
    capacity_ = n;
    return true;
  }
  const size_t bytes = PageRounded(n);
  void* grown = MAP_FAILED;
  if (mapped_) {
    grown = ::mremap(data_, capacity_, bytes, MREMAP_MAYMOVE);
  } else {
    grown = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (grown != MAP_FAILED && size_ > 0) std::memcpy(grown, data_, size_);
    if (grown != MAP_FAILED) std::free(data_);
  }
  if (grown == MAP_FAILED) return false;
  data_ = static_cast<char*>(grown);
  capacity_ = bytes;
  mapped_ = true;
  // Large pages where the system offers them: a text of many MiB then costs
  // a few page faults instead of one per 4 KiB (a hint; ignored elsewhere).
  (void)::madvise(data_, capacity_, MADV_HUGEPAGE);
  return true;
}

void KvTextBuffer::Append(const char* bytes, size_t n) {
  if (n == 0) return;
  std::memcpy(data_ + size_, bytes, n);
  size_ += n;
}

void KvTextBuffer::Release() {
  if (mapped_) {
    ::munmap(data_, capacity_);
  } else {
    std::free(data_);
  }
  data_ = nullptr;
  size_ = 0;
  capacity_ = 0;
  mapped_ = false;
}

KvQueryExchange::KvQueryExchange(const KvServiceLimits& limits) : limits_(limits) {}

KvQueryExchange::Step KvQueryExchange::Refuse(const char* reason) {
  Fail(reason);
  return step_;
}

void KvQueryExchange::Fail(const std::string& reason) {
  if (phase_ == Phase::kEnded) return;
  phase_ = Phase::kEnded;
  step_ = Step::kFailed;
  result_.completed = false;
  result_.error = reason;
  text_.Release();
  Release(reply_);
  Release(pending_);
}

const char* KvQueryExchange::Text() const { return step_ == Step::kEvaluate ? text_.data() : nullptr; }

KvQueryExchange::Step KvQueryExchange::Feed(const unsigned char* data, size_t n, std::string& out) {
  if (n == 0) return step_;
  started_ = true;
  if (phase_ == Phase::kEnded) return step_;  // nothing more is read
  if (pending_.size() + n > kMaxPending && phase_ == Phase::kEvaluating) {
    return Refuse("peer sent bytes while its query was evaluated");
  }
  try {
    const char* bytes = reinterpret_cast<const char*>(data);
    if (pending_.empty() && phase_ != Phase::kEvaluating) {
      // The bytes are taken where the caller has them: a long text is copied
      // once, into its own buffer, and only what the phases leave is kept.
      const size_t used = Run(bytes, n, out);
      if (phase_ != Phase::kEnded && used < n) pending_.assign(bytes + used, n - used);
    } else {
      pending_.append(bytes, n);
      RunPending(out);
    }
    // A text refused early is answered once its last byte has arrived.
    if (!refusedWith_.empty() && phase_ == Phase::kEvaluating) return Answer(-1, KvDatumClass(), out);
    return step_;
  } catch (const std::bad_alloc&) {
    return Refuse("out of memory");
  }
}

KvQueryExchange::Step KvQueryExchange::RunPending(std::string& out) {
  const size_t used = Run(pending_.data(), pending_.size(), out);
  if (phase_ == Phase::kEnded) {
    Release(pending_);
  } else {
    pending_.erase(0, used);
  }
  return step_;
}

// Keeps (or, once refused, drops) the next bytes of the query text, and lets
// the refusal look at the beginning of a long one.
void KvQueryExchange::TakeText(const char* p, size_t take) {
  received_ += take;
  if (!refusedWith_.empty()) return;
  const size_t wanted = text_.size() + take;
  if (wanted > text_.capacity()) {
    // Room for the text's own closing NUL once the last byte comes.
    const size_t whole = static_cast<size_t>(announced_) + 1;
    if (!text_.Reserve(std::min(whole, std::max({wanted, 2 * text_.capacity(), kFirstTextBuffer})))) {
      throw std::bad_alloc();
    }
  }
  text_.Append(p, take);
  if (looked_ || !refusal_ || announced_ < kRefuseFrom ||
      text_.size() < std::min<size_t>(announced_, kRefusalPrefix)) {
    return;
  }
  looked_ = true;
  std::string_view prefix(text_.data(), text_.size());
  const size_t nul = prefix.find('\0');
  const bool whole = nul != std::string_view::npos || text_.size() == announced_;
  if (nul != std::string_view::npos) prefix = prefix.substr(0, nul);
  std::string message;
  if (!refusal_(prefix, whole, &message)) return;
  refusedWith_ = message.empty() ? std::string("query text refused") : message;
  text_.Release();
}

// Takes what the current phase needs from data, phase after phase, until the
// bytes run out or the server must act.
size_t KvQueryExchange::Run(const char* data, size_t n, std::string& out) {
  size_t used = 0;
  while (used < n && phase_ != Phase::kEvaluating && phase_ != Phase::kEnded) {
    const char* p = data + used;
    const size_t rest = n - used;
    switch (phase_) {
      case Phase::kAnnouncement: {
        const char c = *p;
        ++used;
        if (c != '\0') {
          if (c < '0' || c > '9' || announcement_.size() == kMaxAnnouncement) {
            Refuse("malformed length announcement");
            return n;
          }
          announcement_ += c;
          break;
        }
        const char* refusal = nullptr;
        if (announcement_.empty()) {
          refusal = "empty length announcement";
        } else if (announcement_.size() > kMaxDigits) {
          refusal = "oversized length announcement";
        } else {
          announced_ = std::strtoul(announcement_.c_str(), nullptr, 10);
          result_.querySize = announced_;
          // Every text the client sends carries at least its zero byte.
          if (announced_ == 0) refusal = "zero length announcement";
          else if (announced_ > limits_.maxQuerySize) refusal = "query larger than the server accepts";
        }
        if (refusal != nullptr) {
          Refuse(refusal);
          return n;
        }
        Release(announcement_);
        static const char kAck[kBlockSize] = {'o', 'k', 'a', 'y'};
        out.append(kAck, sizeof kAck);
        phase_ = Phase::kText;
        break;
      }
      case Phase::kText: {
        const size_t take = std::min<size_t>(rest, announced_ - received_);
        TakeText(p, take);
        used += take;
        if (received_ == announced_) {
          phase_ = Phase::kEvaluating;
          if (refusedWith_.empty()) {
            if (!text_.Reserve(text_.size() + 1)) throw std::bad_alloc();
            text_.Append("", 1);
            step_ = Step::kEvaluate;
          }
        }
        break;
      }
      case Phase::kOkay:
      case Phase::kCount: {
        const size_t need = (phase_ == Phase::kOkay ? kOkaySize : kCountSize) - announcement_.size();
        const size_t take = std::min(rest, need);
        announcement_.append(p, take);
        used += take;
        if (take < need) break;
        announcement_.clear();
        if (phase_ == Phase::kCount) {
          phase_ = Phase::kEnded;
          step_ = Step::kDone;
          result_.completed = true;
          break;
        }
        // The peer asked for the result: it goes out now.
        if (out.empty()) {
          out.swap(reply_);
        } else {
          out += reply_;
        }
        Release(reply_);
        phase_ = Phase::kCount;
        break;
      }
      case Phase::kEvaluating:
      case Phase::kEnded:
        break;
    }
  }
  return used;
}

KvQueryExchange::Step KvQueryExchange::Answer(int status, const KvDatumClass& resultText, std::string& out) {
  if (phase_ != Phase::kEvaluating) return step_;
  text_.Release();
  try {
    result_.status = status;
    result_.resultSize = resultText.Data() != nullptr ? resultText.Size() : 0;
    char header[kBlockSize];
    std::memset(header, 0, sizeof header);
    if (std::snprintf(header, sizeof header, "%lu %d", result_.resultSize, result_.status) >=
        static_cast<int>(sizeof header)) {
      // The block holds at most 15 characters; a result that large cannot be
      // announced, so the peer gets an empty answer with a failure status.
      result_.status = -1;
      result_.resultSize = 0;
      std::memset(header, 0, sizeof header);
      std::snprintf(header, sizeof header, "0 -1");
    }
    out.append(header, sizeof header);
    step_ = Step::kNeedBytes;
    if (result_.resultSize == 0) {
      phase_ = Phase::kEnded;
      step_ = Step::kDone;
      result_.completed = true;
      Release(pending_);
      return step_;
    }
    reply_.assign(reinterpret_cast<const char*>(resultText.Data()), result_.resultSize);
    phase_ = Phase::kOkay;
    return RunPending(out);
  } catch (const std::bad_alloc&) {
    return Refuse("out of memory");
  }
}

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kReadChunk = 64 * 1024;

// The system's text for an error number. strerror may share one buffer
// between threads; the exchange runs on many at once.
std::string ErrorText(int number) {
  char buffer[128];
  return strerror_r(number, buffer, sizeof buffer);
}

// One socket with the exchange's two deadlines: the idle time for each wait
// and the total time for the whole exchange.
class Socket {
 public:
  Socket(int fd, const KvServiceLimits& limits)
      : fd_(fd), limits_(limits), deadline_(Clock::now() + std::chrono::milliseconds(limits.totalTimeoutMs)) {}

  // Some bytes into buffer; 0 (error() says why) at close, error or timeout.
  size_t ReadSome(unsigned char* buffer, size_t n) {
    for (;;) {
      if (!Wait(POLLIN)) return 0;
      const ssize_t got = ::recv(fd_, buffer, n, 0);
      if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (got <= 0) {
        error_ = got == 0 ? "peer closed the connection" : ErrorText(errno);
        return 0;
      }
      return static_cast<size_t>(got);
    }
  }

  bool WriteAll(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      if (!Wait(POLLOUT)) return false;
      const ssize_t sent = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
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

 private:
  bool Wait(short events) {
    for (;;) {
      const auto now = Clock::now();
      if (now >= deadline_) {
        error_ = "exchange took too long";
        return false;
      }
      const long remaining = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - now).count();
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

  int fd_;
  const KvServiceLimits& limits_;
  Clock::time_point deadline_;
  std::string error_;
};

void ServeExchange(int fd, const KvServiceLimits& limits, const KvQueryEvaluator& evaluate, KvQueryExchange& x) {
  Socket socket(fd, limits);
  std::vector<unsigned char> chunk(kReadChunk);
  std::string out;
  for (;;) {
    if (!out.empty()) {
      if (!socket.WriteAll(out)) {
        x.Fail(socket.error());
        return;
      }
      Release(out);
    }
    switch (x.step()) {
      case KvQueryExchange::Step::kEvaluate: {
        KvDatumClass reply;
        const int status = evaluate(x.Text(), reply);
        x.Answer(status, reply, out);
        continue;
      }
      case KvQueryExchange::Step::kDone:
      case KvQueryExchange::Step::kFailed:
        return;
      case KvQueryExchange::Step::kNeedBytes:
        break;
    }
    const size_t got = socket.ReadSome(chunk.data(), chunk.size());
    if (got == 0) {
      x.Fail(socket.error());
      return;
    }
    x.Feed(chunk.data(), got, out);
  }
}

}  // namespace

int KvServeQueryExchange(int fd, const KvServiceLimits& limits, const KvQueryEvaluator& evaluate,
                         KvExchangeResult* result) {
  KvQueryExchange x(limits);
  try {
    ServeExchange(fd, limits, evaluate, x);
  } catch (const std::bad_alloc&) {
    // Memory for a buffer ran out: the connection is dropped, the server
    // goes on.
    x.Fail("out of memory");
  } catch (const std::exception&) {
    x.Fail("aborted");
  }
  if (result != nullptr) *result = x.result();
  return x.result().completed ? 0 : -1;
}
