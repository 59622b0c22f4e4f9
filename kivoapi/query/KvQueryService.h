// The server end of the query socket exchange: one exchange on one connected
// socket, with bounded sizes and deadlines so that a slow or hostile peer can
// neither hold a worker forever nor make it allocate what it announces.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "core/KvDatum.h"

struct KvServiceLimits {
  // Largest query text (announced length) accepted.
  unsigned long maxQuerySize = 256ul << 20;
  // Longest wait for the peer's next bytes.
  int idleTimeoutMs = 30000;
  // Longest time one whole exchange may take.
  int totalTimeoutMs = 300000;
};

struct KvExchangeResult {
  unsigned long querySize = 0;  // announced length of the query text
  int status = 0;               // evaluation status sent to the peer
  unsigned long resultSize = 0; // bytes of result text sent
  bool completed = false;       // every step of the exchange took place
  std::string error;            // why the exchange stopped early
};

// Evaluates a NUL-terminated query text; fills resultText with the result
// set's query-string form (empty when there is none) and returns the status.
using KvQueryEvaluator = std::function<int(const char* queryText, KvDatumClass& resultText)>;

// Runs one exchange on fd (which stays open). Returns 0 when it completed,
// -1 otherwise (result->error says why).
int KvServeQueryExchange(int fd, const KvServiceLimits& limits, const KvQueryEvaluator& evaluate,
                         KvExchangeResult* result);
