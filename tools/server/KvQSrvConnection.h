// One KvQSrv connection on the event loop: the query socket exchange as the
// loop's protocol, evaluated on a worker with that worker's query object,
// and the one log line each connection ends with.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "KvProtocol.h"
#include "query/KvQueryService.h"

class KvConnectClass;

struct KvQSrvSettings {
  KvServiceLimits limits;
  // The longest one evaluation may take; "KivoQueryTimeLimit" may set a
  // shorter one.
  int64_t evaluationLimitMs = 0;
  // Text queries at least this large are followed by returning the freed
  // memory to the system.
  unsigned long trimAfterBytes = 1ul << 20;
  // Evaluates a query text that names a sharded catalog: true with status,
  // the result text (NUL included) and the error of a failure filled; false
  // for any other text, which the worker's own query object evaluates.
  // Unset: every text is the worker's.
  std::function<bool(const char* text, int64_t limitMs, int* status, std::string* result, std::string* error)>
      sharded;
};

// A worker's state: its own query object on the shared connection.
std::unique_ptr<KvWorkerState> KvQSrvWorkerState(const KvConnectClass* connection);

// The protocol of a new connection from peer ("IP:PORT").
std::unique_ptr<KvProtocol> KvQSrvConnection(const KvQSrvSettings& settings, const std::string& peer);
