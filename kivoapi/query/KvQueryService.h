// The server end of the query socket exchange.
//
// KvQueryExchange is the exchange itself as a state machine over bytes, with
// no socket of its own: bytes from the peer go in, bytes for the peer come
// out, and it says when the whole query text has arrived and must be
// evaluated. An event loop drives it on non-blocking connections; the
// blocking KvServeQueryExchange drives it on one connected socket. Sizes are
// bounded so that a hostile peer cannot make it allocate what it announces.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

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

// The buffer a query text arrives in. It grows as bytes arrive; once large,
// its pages are mapped for it alone and it grows by remapping them, so that
// the bytes already received are neither copied again nor their pages
// touched a second time, and its memory goes back to the system when it is
// released.
class KvTextBuffer {
 public:
  KvTextBuffer() = default;
  ~KvTextBuffer() { Release(); }
  KvTextBuffer(const KvTextBuffer&) = delete;
  KvTextBuffer& operator=(const KvTextBuffer&) = delete;

  const char* data() const { return data_; }
  size_t size() const { return size_; }
  size_t capacity() const { return capacity_; }
  // Room for at least n bytes; false (contents kept) when there is no memory.
  bool Reserve(size_t n);
  // Appends n bytes; the capacity must hold them.
  void Append(const char* bytes, size_t n);
  void Release();

 private:
  char* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
  bool mapped_ = false;
};

// Looks at the first bytes of a long query text (cut at its first NUL; whole
// when the text ends there): true, with the message its evaluation would
// fail with, when no text beginning so can be evaluated.
using KvTextRefusal = std::function<bool(std::string_view prefix, bool whole, std::string* message)>;

// The refusal of a query server evaluating with KvQueryServerClass: a text
// whose frame is malformed whatever follows is refused with the message
// (error record included) its evaluation records on this thread.
bool KvRefuseMalformedQuery(std::string_view prefix, bool whole, std::string* message);

class KvQueryExchange {
 public:
  // Texts announced at least this long are looked at by the refusal once
  // their first kRefusalPrefix bytes (or all of them) have arrived.
  static constexpr size_t kRefuseFrom = 1u << 20;
  static constexpr size_t kRefusalPrefix = 64u << 10;

  enum class Step {
    kNeedBytes,  // waiting for the peer (after sending what Feed gave out)
    kEvaluate,   // the query text is complete: evaluate it, then Answer
    kDone,       // the exchange completed
    kFailed,     // the exchange broke off: result().error says why
  };

  explicit KvQueryExchange(const KvServiceLimits& limits);
  KvQueryExchange(const KvQueryExchange&) = delete;
  KvQueryExchange& operator=(const KvQueryExchange&) = delete;

  // Takes all n bytes from the peer and appends to out what must be sent
  // back. Bytes that arrive at kEvaluate, kDone or kFailed are kept (a few)
  // or fail the exchange; a peer sends nothing while the server evaluates.
  // The query text's buffer grows with the bytes that arrive, never ahead of
  // them to the announced size.
  Step Feed(const unsigned char* data, size_t n, std::string& out);

  // At kEvaluate: the query text, NUL-terminated (cut at its first NUL).
  const char* Text() const;

  // After evaluating Text(): appends the reply header to out, keeps the
  // result text (copied from resultText) until it is sent, and frees the
  // query text. The next step follows from bytes already received.
  Step Answer(int status, const KvDatumClass& resultText, std::string& out);

  // Records that the connection ended early (closed, timed out) for reason.
  void Fail(const std::string& reason);

  // Refuses long texts early: one that refusal turns down is not kept. Its
  // remaining bytes are read and dropped, and once the last has arrived the
  // peer is answered status -1 with no result, as an evaluation failing
  // would answer, without a kEvaluate step. Set before the first Feed.
  void SetRefusal(KvTextRefusal refusal) { refusal_ = std::move(refusal); }
  // The message of a text refused early; empty otherwise.
  const std::string& refusedWith() const { return refusedWith_; }

  Step step() const { return step_; }
  // Whether any byte of the exchange has arrived.
  bool Started() const { return started_; }
  const KvExchangeResult& result() const { return result_; }

 private:
  enum class Phase { kAnnouncement, kText, kEvaluating, kOkay, kCount, kEnded };
  // Takes what the phases need from data[0, n), phase after phase, until the
  // bytes run out or the server must act; returns how many were taken.
  size_t Run(const char* data, size_t n, std::string& out);
  Step RunPending(std::string& out);
  void TakeText(const char* p, size_t take);
  Step Refuse(const char* reason);

  const KvServiceLimits limits_;
  Phase phase_ = Phase::kAnnouncement;
  Step step_ = Step::kNeedBytes;
  bool started_ = false;
  std::string announcement_;
  unsigned long announced_ = 0;
  KvTextBuffer text_;
  unsigned long received_ = 0;  // bytes of the text arrived, kept or not
  KvTextRefusal refusal_;
  bool looked_ = false;   // the refusal has seen the text's first bytes
  std::string refusedWith_;
  std::string reply_;
  // Bytes received ahead of the phase that reads them (at most a few).
  std::string pending_;
  KvExchangeResult result_;
};

// Evaluates a NUL-terminated query text; fills resultText with the result
// set's query-string form (empty when there is none) and returns the status.
using KvQueryEvaluator = std::function<int(const char* queryText, KvDatumClass& resultText)>;

// Runs one exchange on fd (which stays open), waiting at most the idle time
// for each of the peer's bytes and the total time for the exchange. Returns 0
// when it completed, -1 otherwise (result->error says why).
int KvServeQueryExchange(int fd, const KvServiceLimits& limits, const KvQueryEvaluator& evaluate,
                         KvExchangeResult* result);
