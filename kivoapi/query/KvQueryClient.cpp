// The socket query client.
#include "query/KvQueryClient.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "KvFactory.h"
#include "core/KvBytes.h"
#include "core/KvEnv.h"
#include "core/KvError.h"
#include "data/KvGenericData.h"
#include "storage/KvConnect.h"
#include "storage/KvKeyDatabase.h"

namespace {

constexpr int kDefaultPort = 5517;
constexpr unsigned long kBlockSize = 16;
constexpr unsigned long kReceiveChunk = 1ul << 20;
// A stalled server cannot hold the client forever.
constexpr int kIoTimeoutSeconds = 300;

void Fail(const char* message) {
  // The system error is the one of the failed call, not of the first write.
  const int saved = errno;
  std::fputs(message, stderr);
  errno = saved;
  std::perror("QueryClient Error");
  std::string text(message);
  while (!text.empty() && text.back() == '\n') text.pop_back();
  KvError(KERR_General, KERR_NonFatal, text.c_str());
}

int ServerPort() {
  const char* text = Kvgetenv("KivoServerPort");
  const int port = text != nullptr ? std::atoi(text) : 0;
  return port > 0 && port < 65536 ? port : kDefaultPort;
}

// Closes the socket on every return path.
struct SocketGuard {
  int fd;
  ~SocketGuard() {
    if (fd >= 0) KvCloseSocket(fd);
  }
};

}  // namespace

int KvInitSocket() { return 0; }

void KvCleanSocket() {}

unsigned long KvSendSocket(int socket, const unsigned char* buffer, unsigned long length) {
  unsigned long done = 0;
  while (done < length) {
    const ssize_t n = ::send(socket, buffer + done, length - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<unsigned long>(n);
  }
  return done;
}

unsigned long KvRecvSocket(int socket, unsigned char* buffer, unsigned long length) {
  unsigned long done = 0;
  while (done < length) {
    const ssize_t n = ::recv(socket, buffer + done, length - done, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<unsigned long>(n);
  }
  return done;
}

int KvCloseSocket(int socket) { return ::close(socket); }

KvQueryClientClass::~KvQueryClientClass() { delete result_; }

KvKeyDatabaseClass* KvQueryClientClass::Evaluate(const char* queryText) {
  const char* host = Kvgetenv("KivoServerHost");
  if (host == nullptr || host[0] == '\0') host = "localhost";
  const int port = ServerPort();
  KvInitSocket();
  delete result_;
  result_ = nullptr;
  status_ = 0;
  if (queryText == nullptr) {
    KvError(KERR_General, KERR_NonFatal, "QueryClient: no query text");
    status_ = -1;
    return nullptr;
  }

  const KvConnectClass* connection = KvGetConnection("w", nullptr, nullptr);
  if (connection != nullptr) result_ = connection->NewKeyDatabase();
  if (result_ == nullptr) {
    KvPrintErrorMessage(stderr);
    std::perror("QueryClient Error");
    status_ = -1;
    return nullptr;
  }

  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* address = nullptr;
  if (::getaddrinfo(host, nullptr, &hints, &address) != 0 || address == nullptr) {
    Fail("QueryClient: Error - Unable to get host address information.\n");
    status_ = -1;
    return nullptr;
  }
  sockaddr_in server{};
  std::memcpy(&server, address->ai_addr, sizeof server);
  server.sin_port = htons(static_cast<uint16_t>(port));
  ::freeaddrinfo(address);

  // Close-on-exec: a program that starts others while a query runs does not
  // hand them the connection.
  SocketGuard socket{::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
  if (socket.fd < 0) {
    Fail("QueryClient: Error - Unable to create socket.\n");
    status_ = -1;
    return nullptr;
  }
  timeval timeout{kIoTimeoutSeconds, 0};
  ::setsockopt(socket.fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  ::setsockopt(socket.fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  if (::connect(socket.fd, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) {
    Fail("QueryClient: Error - Unable to connect to socket.\n");
    status_ = -1;
    return nullptr;
  }

  const unsigned long textSize = std::strlen(queryText) + 1;
  char announce[32];
  const int announceLength = std::snprintf(announce, sizeof announce, "%lu", textSize);
  unsigned char block[kBlockSize + 1];
  if (KvSendSocket(socket.fd, reinterpret_cast<const unsigned char*>(announce),
                   static_cast<unsigned long>(announceLength) + 1) != static_cast<unsigned long>(announceLength) + 1 ||
      KvRecvSocket(socket.fd, block, kBlockSize) != kBlockSize ||
      KvSendSocket(socket.fd, reinterpret_cast<const unsigned char*>(queryText), textSize) != textSize ||
      KvRecvSocket(socket.fd, block, kBlockSize) != kBlockSize) {
    KvError(KERR_General, KERR_NonFatal, "QueryClient: the server closed the connection or did not answer");
    status_ = -1;
    return nullptr;
  }
  block[kBlockSize] = '\0';
  unsigned long size = 0;
  int status = 0;
  if (std::sscanf(reinterpret_cast<char*>(block), "%lu %d", &size, &status) != 2) {
    KvError(KERR_General, KERR_NonFatal, "QueryClient: malformed reply header from the server");
    status_ = -1;
    return nullptr;
  }
  status_ = status;
  if (size == 0) {
    // The server had no result to send; its status says why.
    char text[96];
    std::snprintf(text, sizeof text, "QueryClient: the server sent no result (status %d)", status);
    KvError(KERR_General, KERR_NonFatal, text);
    return nullptr;
  }
  if (size > kKvMaxFramedLength) {
    KvError(KERR_General, KERR_NonFatal, "QueryClient: the server announced an oversized result");
    status_ = -1;
    return nullptr;
  }

  static const unsigned char kOkay[6] = {'o', 'k', 'a', 'y', 0, 0};
  if (KvSendSocket(socket.fd, kOkay, sizeof kOkay) != sizeof kOkay) {
    KvError(KERR_General, KERR_NonFatal, "QueryClient: the server closed the connection");
    status_ = -1;
    return nullptr;
  }
  // The buffer grows as the bytes arrive, so a peer that announces more than
  // it sends cannot make the client hold the announced size.
  std::vector<unsigned char> text;
  unsigned long received = 0;
  try {
    while (received < size) {
      const unsigned long want = std::min(size - received, kReceiveChunk);
      text.resize(received + want);
      const unsigned long got = KvRecvSocket(socket.fd, text.data() + received, want);
      received += got;
      if (got != want) break;
    }
  } catch (const std::bad_alloc&) {
    KvError(KERR_Alloc, KERR_Fatal, static_cast<int>(std::min<unsigned long>(size, INT32_MAX)), "KvQueryC:Evaluate");
    status_ = -1;
    return nullptr;
  }
  unsigned char count[4];
  Encode32LE(count, static_cast<uint32_t>(received));
  KvSendSocket(socket.fd, count, sizeof count);  // the server only logs it
  KvCleanSocket();
  if (received != size) {
    KvError(KERR_General, KERR_NonFatal, "QueryClient: the result was cut short by the server");
    status_ = -1;
    return nullptr;
  }
  KvDatumClass reply;
  reply.SetBytes(size, text.data(), KvOwnNone);
  if (result_->FromQueryString(reply) != 0) {
    if (status_ == 0) status_ = -1;
    return nullptr;
  }
  return result_;
}
