// The server end of the query socket exchange, fed as a byte stream.
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "FuzzUtil.h"
#include "query/KvQueryService.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return 0;
  // The peer writes the input and then closes its sending side; everything
  // the server sends back is drained.
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
  limits.maxQuerySize = 1 << 16;
  limits.idleTimeoutMs = 200;
  limits.totalTimeoutMs = 1000;
  KvExchangeResult result;
  KvServeQueryExchange(fds[1], limits,
                       [](const char* text, KvDatumClass& reply) {
                         const std::string answer = std::string("<        14 >");
                         if (text[0] == 'q') reply.CopyBytes(answer.c_str(), answer.size() + 1, "fuzz");
                         return text[0] == 'q' ? 0 : -1;
                       },
                       &result);
  shutdown(fds[1], SHUT_RDWR);
  close(fds[1]);
  peer.join();
  close(fds[0]);
  return 0;
}
