// The query exchange's state machine fed the same peer bytes in pieces of
// every size, some of them while its query is being evaluated, as an event
// loop feeds it. However the bytes are cut, the machine must evaluate the same
// text, send the same bytes and end the same way as when it gets them all at
// once, and both must agree with a small model of the exchange.
//
// Input: 4 bytes seeding the cuts, 1 byte choosing the largest query text
// accepted, then the peer's byte stream.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "query/KvQueryService.h"

namespace {

using Step = KvQueryExchange::Step;

// Bytes a peer may have sent ahead while its query is evaluated before it is
// dropped, less the largest piece (which may bring bytes behind the text).
constexpr size_t kMaxEarlyBytes = 64 * 1024 - 4096;

struct Trace {
  std::string out;                 // everything sent to the peer, in order
  std::vector<std::string> texts;  // the texts handed to the evaluator
  Step last = Step::kNeedBytes;
  KvExchangeResult result;
  size_t earlyBytes = 0;           // fed while an evaluation was pending
};

// Answers 'q' texts with a result that names them, others with a failure.
void Evaluate(KvQueryExchange& x, Trace& t, std::string& out) {
  if (x.Text() == nullptr) __builtin_trap();
  const std::string text = x.Text();
  t.texts.push_back(text);
  KvDatumClass reply;
  int status = -1;
  if (!text.empty() && text[0] == 'q') {
    const std::string answer = "result of " + text;
    reply.CopyBytes(answer.c_str(), answer.size() + 1, "fuzz");
    status = 0;
  }
  x.Answer(status, reply, out);
}

// Small deterministic generator for the cuts.
struct Cuts {
  uint32_t state;
  uint32_t Next() {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
  }
};

// Feeds the stream in pieces; whole: all of it at once. While an evaluation
// is pending, up to a few more pieces may arrive before it is answered.
Trace Drive(const uint8_t* data, size_t size, const KvServiceLimits& limits, bool whole, uint32_t seed) {
  KvQueryExchange x(limits);
  Trace t;
  Cuts cuts{seed | 1};
  size_t done = 0;
  std::string out;
  int heldBack = 0;  // pieces still to feed before answering a pending evaluation
  while (x.step() == Step::kNeedBytes || x.step() == Step::kEvaluate) {
    if (x.step() == Step::kEvaluate && heldBack == 0) {
      Evaluate(x, t, out);
      t.out += out;
      out.clear();
      heldBack = whole ? 0 : static_cast<int>(cuts.Next() % 4);
      continue;
    }
    if (done == size) {
      if (x.step() == Step::kEvaluate) {
        heldBack = 0;
        continue;
      }
      x.Fail("peer closed the connection");
      break;
    }
    size_t n = whole ? size - done : 1 + cuts.Next() % (cuts.Next() % 8 == 0 ? 4096 : 24);
    if (n > size - done) n = size - done;
    const bool evaluating = x.step() == Step::kEvaluate;
    if (evaluating) {
      t.earlyBytes += n;
      --heldBack;
    }
    x.Feed(data + done, n, out);
    done += n;
    // Nothing goes out while the query is evaluated.
    if (evaluating && !out.empty()) __builtin_trap();
    t.out += out;
    out.clear();
    if ((x.step() == Step::kEvaluate) != (x.Text() != nullptr)) __builtin_trap();
  }
  t.last = x.step();
  t.result = x.result();
  if (t.result.completed != (t.last == Step::kDone)) __builtin_trap();
  return t;
}

// What the model says the peer's stream asks for: the text evaluated (false
// when the stream is refused before that, as in the server exchange target).
bool ExpectedText(const uint8_t* data, size_t size, unsigned long limit, std::string* text, size_t* textEnd) {
  size_t i = 0;
  while (i < size && data[i] >= '0' && data[i] <= '9') ++i;
  if (i == 0 || i > 19 || i >= size || data[i] != '\0') return false;
  const unsigned long announced = std::strtoul(std::string(reinterpret_cast<const char*>(data), i).c_str(), nullptr, 10);
  if (announced == 0 || announced > limit || size - (i + 1) < announced) return false;
  const char* start = reinterpret_cast<const char*>(data) + i + 1;
  text->assign(start, strnlen(start, announced));
  *textEnd = i + 1 + announced;
  return true;
}

bool SameEnd(const Trace& a, const Trace& b) {
  return a.out == b.out && a.texts == b.texts && a.last == b.last && a.result.completed == b.result.completed &&
         a.result.querySize == b.result.querySize && a.result.status == b.result.status &&
         a.result.resultSize == b.result.resultSize;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t inputSize) {
  if (inputSize < 5) return 0;
  uint32_t seed = 0;
  std::memcpy(&seed, input, 4);
  KvServiceLimits limits;
  limits.maxQuerySize = 1 + static_cast<unsigned long>(input[4]) * 64;
  const uint8_t* data = input + 5;
  const size_t size = inputSize - 5;

  const Trace once = Drive(data, size, limits, true, seed);
  const Trace pieces = Drive(data, size, limits, false, seed);
  // A peer that floods the server during its evaluation is dropped; below
  // that, the cuts must not matter.
  if (pieces.earlyBytes <= kMaxEarlyBytes && !SameEnd(once, pieces)) __builtin_trap();

  std::string expected;
  size_t textEnd = 0;
  const bool reached = ExpectedText(data, size, limits.maxQuerySize, &expected, &textEnd);
  for (const Trace* t : {&once, &pieces}) {
    if (t->texts.size() != (reached ? 1u : 0u) || (reached && t->texts[0] != expected)) __builtin_trap();
    if (!reached && t->result.completed) __builtin_trap();
    // An accepted announcement is acknowledged first, with "okay" and
    // twelve zero bytes.
    static const char kAck[16] = {'o', 'k', 'a', 'y'};
    if (reached && (t->out.size() < 32 || std::memcmp(t->out.data(), kAck, 16) != 0)) __builtin_trap();
    if (!t->result.completed) continue;
    // A completed exchange sent the header and, when the peer asked for it,
    // the whole result.
    const std::string result = expected[0] == 'q' ? "result of " + expected + '\0' : std::string();
    if (t->result.resultSize != result.size()) __builtin_trap();
    if (t->out.size() != 32 + result.size() || t->out.compare(32, std::string::npos, result) != 0) __builtin_trap();
  }
  return 0;
}
