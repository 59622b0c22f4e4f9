// The socket query client: sends a query text to a query server over one TCP
// connection per query and rebuilds the returned result set.
//
// Exchange (client view):
//   1 ->  decimal length of the text plus one ("%lu"), then a zero byte
//   2 <-  16-byte acknowledgement (content ignored)
//   3 ->  the query text and its terminating zero byte
//   4 <-  16 bytes holding "%lu %d" and a zero byte: result size, status
//   5 ->  (only when the size is not 0) "okay" and two zero bytes
//   6 <-  exactly size bytes: the result set's query-string form
//   7 ->  4 bytes: the count received in step 6, least significant first
#pragma once

#include "query/KvQuery.h"

// Starts the socket layer (nothing to start on this platform). 0.
int KvInitSocket();
void KvCleanSocket();
// Send or receive the whole length, repeating on partial transfers (and on
// interrupted calls). They return the byte count actually moved: less than
// length when the peer closed the connection, an error occurred or the
// socket's timeout expired. Sending to a closed peer raises no SIGPIPE.
unsigned long KvSendSocket(int socket, const unsigned char* buffer, unsigned long length);
unsigned long KvRecvSocket(int socket, unsigned char* buffer, unsigned long length);
int KvCloseSocket(int socket);

class KvQueryClientClass : public KvQueryClass {
 public:
  KvQueryClientClass() = default;
  ~KvQueryClientClass() override;

  uint32_t GetClassId() const override { return 877544; }
  const char* GetClassName() const override { return "KvQueryClientClass"; }

  // Sends queryText to the server named by "KivoServerHost"/"KivoServerPort"
  // (localhost, 5517; also 5517 for a port that reads as 0). The result set
  // belongs to this object until the next Evaluate. Null on failure, with the
  // reason in the error record: GetStatus holds the server's status when it
  // answered with an empty result, -1 for a connection that failed, closed
  // early, timed out (300 s per step) or sent a short or malformed reply.
  KvKeyDatabaseClass* Evaluate(const char* queryText) override;
};
