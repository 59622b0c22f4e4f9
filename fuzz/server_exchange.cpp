// The server end of the query socket exchange, fed as a byte stream. A small
// model of the exchange says whether the evaluator must be reached and with
// which text; the server must agree with it.
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "FuzzUtil.h"
#include "query/KvQueryService.h"

namespace {

constexpr unsigned long kMaxQuery = 1ul << 16;

// The query text the server must hand to the evaluator, or false when the
// stream is refused before that: a decimal announcement of 1 to 19 digits and
// a zero byte, from 1 (the text's own zero byte) to kMaxQuery, then that many
// bytes (used up to a NUL).
bool ExpectedText(const uint8_t* data, size_t size, std::string* text) {
  size_t i = 0;
  while (i < size && data[i] >= '0' && data[i] <= '9') ++i;
  if (i == 0 || i > 19 || i >= size || data[i] != '\0') return false;
  const unsigned long announced = std::strtoul(std::string(reinterpret_cast<const char*>(data), i).c_str(), nullptr, 10);
  if (announced == 0 || announced > kMaxQuery || size - (i + 1) < announced) return false;
  const char* start = reinterpret_cast<const char*>(data) + i + 1;
  text->assign(start, strnlen(start, announced));
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return 0;
  // The peer writes the input and then closes its sending side; everything
  // the server sends back is drained. The server therefore never waits on a
  // silent peer, and the generous timeouts below never cut a run short.
  std::thread peer([&] {
    size_t done = 0;
    while (done < size) {
      const ssize_t n = send(fds[0], data + done, size - done, MSG_NOSIGNAL);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    shutdown(fds[0], SHUT_WR);
    char sink[4096];
    while (recv(fds[0], sink, sizeof sink, 0) > 0) {
    }
  });
  KvServiceLimits limits;
  limits.maxQuerySize = kMaxQuery;
  limits.idleTimeoutMs = 4000;
  limits.totalTimeoutMs = 8000;
  KvExchangeResult result;
  int calls = 0;
  std::string seen;
  KvServeQueryExchange(fds[1], limits,
                       [&](const char* text, KvDatumClass& reply) {
                         ++calls;
                         seen = text;
                         const std::string answer = "<        14 >";
                         if (text[0] == 'q') reply.CopyBytes(answer.c_str(), answer.size() + 1, "fuzz");
                         return text[0] == 'q' ? 0 : -1;
                       },
                       &result);
  shutdown(fds[1], SHUT_RDWR);
  close(fds[1]);
  peer.join();
  close(fds[0]);

  std::string expected;
  const bool reached = ExpectedText(data, size, &expected);
  if (calls != (reached ? 1 : 0) || (reached && seen != expected)) __builtin_trap();
  if (result.completed && !reached) __builtin_trap();
  return 0;
}
