// Evaluation time limits: one deadline per evaluation, looked at cheaply by
// the loops that walk stored records.
//
// Contract for code that walks records on behalf of an evaluation (the
// search loops, a feature's own table search, scan threads):
//  - Take the deadline once, on the thread that runs the evaluation, with
//    KvCurrentDeadline(). It is a plain value: copy it to helper threads,
//    which have no deadline of their own.
//  - Look at it once per block of records, never per record: either count
//    with a KvDeadlineTicker, or call Expired() after each block of about
//    kKvDeadlineBlock records. Expired() reads the monotonic clock; a
//    deadline that is not set compares one integer and reads no clock.
//  - When it has expired, stop the walk, record the failure with
//    KvDeadlineFail() on the evaluating thread (once; helper threads just
//    stop and report back), and fail the search with -1. What was found so
//    far is discarded: an evaluation either completes or fails.
//
// Who sets it: KvDeadlineScope, for the lifetime of one evaluation. The
// query object sets one from "KivoQueryTimeLimit" (seconds, fractions
// allowed; unset, empty or 0 means no limit) when no scope is active, so a
// server's own, tighter scope is kept.
#pragma once

#include <cstdint>
#include <limits>

// Records per block between two looks at the deadline.
constexpr uint32_t kKvDeadlineBlock = 1024;

struct KvDeadline {
  // Monotonic clock, nanoseconds; the largest value means no deadline.
  int64_t at = std::numeric_limits<int64_t>::max();

  bool IsSet() const { return at != std::numeric_limits<int64_t>::max(); }
  bool Expired() const { return IsSet() && KvDeadline::Now() >= at; }
  // A deadline ms milliseconds from now; ms <= 0 means none.
  static KvDeadline In(int64_t ms);
  static int64_t Now();
};

// The deadline of the evaluation running on this thread (none outside one).
KvDeadline KvCurrentDeadline();

// Sets this thread's deadline for the scope's lifetime and restores the
// previous one afterwards. An earlier deadline already in force wins.
class KvDeadlineScope {
 public:
  explicit KvDeadlineScope(KvDeadline deadline);
  ~KvDeadlineScope();
  KvDeadlineScope(const KvDeadlineScope&) = delete;
  KvDeadlineScope& operator=(const KvDeadlineScope&) = delete;

 private:
  KvDeadline previous_;
};

// The limit set by "KivoQueryTimeLimit" in milliseconds, 0 for none, -1 for a
// value that is not a non-negative number (callers treat it as none).
int64_t KvQueryTimeLimitMs();

// Counts records and looks at the deadline once per block. Tick() is true
// once the deadline has passed.
class KvDeadlineTicker {
 public:
  explicit KvDeadlineTicker(const KvDeadline& deadline) : deadline_(deadline) {}
  bool Tick() {
    if (++count_ < kKvDeadlineBlock) return false;
    count_ = 0;
    return deadline_.Expired();
  }

 private:
  KvDeadline deadline_;
  uint32_t count_ = 0;
};

// Records that the evaluation's time limit is exceeded (10001, severity 1,
// so every caller stops) naming the site. Returns -1.
int KvDeadlineFail(const char* site);
