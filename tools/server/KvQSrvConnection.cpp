// KvQSrv connections: the exchange on the loop, the evaluation on a worker.
#include "KvQSrvConnection.h"

#include <malloc.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <new>

#include "core/KvError.h"
#include "query/KvDeadline.h"
#include "query/KvQuery.h"
#include "storage/KvConnect.h"
#include "storage/KvKeyDatabase.h"

namespace {

using Clock = std::chrono::steady_clock;

class Worker : public KvWorkerState {
 public:
  explicit Worker(const KvConnectClass* connection) : connection_(connection) {
    Renew();
    if (!query_->IsValid()) {
      std::fprintf(stderr, "KvQSrv: worker cannot make a query object: %s\n", GetErrorMSG());
    }
  }

  // The status sent to the peer; reply gets the result text, error the
  // message of a failed evaluation.
  int Evaluate(const char* text, int64_t limitMs, KvDatumClass& reply, std::string& error) {
    // A failed query must not poison the next: the evaluator stops whenever
    // an error of severity 1 is pending.
    KvInitializeErrorStructure();
    int status = -1;
    if (query_->IsValid()) {
      KvDeadlineScope deadline(KvDeadline::In(limitMs));
      KvKeyDatabaseClass* result = query_->Evaluate(text);
      status = query_->GetStatus();
      if (result == nullptr || result->ToQueryString(reply) != 0) {
        if (status == 0) status = -1;
        reply.Clear();
      }
    }
    if (status != 0) error = KvMessageOneLine(GetErrorMSG());
    return status;
  }

  // A fresh query object: the last one's state (what it kept of a large
  // text and its objects) is freed.
  void Renew() { query_ = std::make_unique<KvQueryServerClass>(connection_); }

 private:
  const KvConnectClass* connection_;
  std::unique_ptr<KvQueryServerClass> query_;
};

class Connection : public KvProtocol {
 public:
  Connection(const KvQSrvSettings& settings, const std::string& peer)
      : settings_(settings), peer_(peer), exchange_(settings.limits), start_(Clock::now()) {
    // A long text that cannot be a query is refused as it arrives: it is
    // neither kept nor handed to a worker, only read to its end and answered.
    exchange_.SetRefusal([](std::string_view prefix, bool whole, std::string* message) {
      KvInitializeErrorStructure();
      const bool refused = KvRefuseMalformedQuery(prefix, whole, message);
      KvInitializeErrorStructure();
      return refused;
    });
  }

  KvNext OnBytes(const unsigned char* data, size_t n, std::string& out) override {
    const KvNext next = Next(exchange_.Feed(data, n, out));
    if (error_.empty() && !exchange_.refusedWith().empty()) {
      error_ = KvMessageOneLine(exchange_.refusedWith().c_str());
    }
    return next;
  }

  void Work(KvWorkerState* state) override {
    auto* worker = static_cast<Worker*>(state);
    try {
      KvDatumClass reply;
      int status = -1;
      std::string sharded;
      if (settings_.sharded &&
          settings_.sharded(exchange_.Text(), settings_.evaluationLimitMs, &status, &sharded, &error_)) {
        // The answer is borrowed: Answer copies it.
        if (status == 0) reply.SetBytes(sharded.size(), reinterpret_cast<unsigned char*>(&sharded[0]), KvOwnNone);
      } else if (worker != nullptr) {
        status = worker->Evaluate(exchange_.Text(), settings_.evaluationLimitMs, reply, error_);
      } else {
        error_ = "no query object";
      }
      exchange_.Answer(status, reply, answer_);
    } catch (const std::bad_alloc&) {
      exchange_.Fail("out of memory");
    } catch (const std::exception&) {
      exchange_.Fail("aborted");
    }
    // What the evaluation kept of a large text is freed with its query
    // object, and the large free blocks left in the worker's arena go back
    // to the system rather than staying resident.
    if (exchange_.result().querySize >= settings_.trimAfterBytes) {
      if (worker != nullptr) worker->Renew();
      ::malloc_trim(0);
    }
  }

  KvNext OnWorked(std::string& out) override {
    if (out.empty()) {
      out.swap(answer_);
    } else {
      out += answer_;
    }
    std::string().swap(answer_);
    return Next(exchange_.step());
  }

  bool InRequest() const override {
    const KvQueryExchange::Step step = exchange_.step();
    return exchange_.Started() && (step == KvQueryExchange::Step::kNeedBytes || step == KvQueryExchange::Step::kEvaluate);
  }

  void OnEnd(const KvConnectionEnd& end) override {
    if (!end.clean) exchange_.Fail(end.reason);
    const KvExchangeResult& r = exchange_.result();
    // The text's buffers were the loop's: their memory goes back too. A text
    // refused early was never kept.
    if (r.querySize >= settings_.trimAfterBytes && exchange_.refusedWith().empty()) ::malloc_trim(0);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start_).count();
    if (r.completed && r.status != 0) {
      std::fprintf(stderr, "KvQSrv: peer=%s size=%lu status=%d result=%lu ms=%.1f error=%s\n", peer_.c_str(),
                   r.querySize, r.status, r.resultSize, ms, error_.c_str());
    } else if (r.completed) {
      std::fprintf(stderr, "KvQSrv: peer=%s size=%lu status=%d result=%lu ms=%.1f\n", peer_.c_str(), r.querySize,
                   r.status, r.resultSize, ms);
    } else {
      std::fprintf(stderr, "KvQSrv: peer=%s size=%lu status=failed (%s) ms=%.1f\n", peer_.c_str(), r.querySize,
                   r.error.c_str(), ms);
    }
  }

 private:
  static KvNext Next(KvQueryExchange::Step step) {
    switch (step) {
      case KvQueryExchange::Step::kNeedBytes:
        return KvNext::kRead;
      case KvQueryExchange::Step::kEvaluate:
        return KvNext::kWork;
      case KvQueryExchange::Step::kDone:
      case KvQueryExchange::Step::kFailed:
        break;
    }
    return KvNext::kClose;
  }

  const KvQSrvSettings& settings_;
  const std::string peer_;
  KvQueryExchange exchange_;
  const Clock::time_point start_;
  std::string answer_;
  std::string error_;
};

}  // namespace

std::unique_ptr<KvWorkerState> KvQSrvWorkerState(const KvConnectClass* connection) {
  return std::make_unique<Worker>(connection);
}

std::unique_ptr<KvProtocol> KvQSrvConnection(const KvQSrvSettings& settings, const std::string& peer) {
  return std::make_unique<Connection>(settings, peer);
}
