// The pluggable part of the event loop: how one connection's bytes become
// requests, and what is sent back. The loop owns sockets, deadlines and the
// connection table; a protocol object (one per connection) owns the framing.
//
// Threads: OnBytes, OnWorked, InRequest and OnEnd run on the loop's thread;
// Work runs on a worker thread, and while it runs the loop touches neither
// the protocol object nor the connection.
#pragma once

#include <cstddef>
#include <string>

// What the loop does next with a connection.
enum class KvNext {
  kRead,   // send what was given, then wait for the peer's next bytes
  kWork,   // a whole request has arrived: run Work on a worker (reading
           // stops; what was given is sent after the work)
  kClose,  // send what was given, then close
};

// Per-worker state a server keeps across requests (its query object, say).
class KvWorkerState {
 public:
  virtual ~KvWorkerState() = default;
};

// How a connection ended, as OnEnd hears it.
struct KvConnectionEnd {
  // The protocol asked to close and everything was sent.
  bool clean = false;
  // Otherwise why the loop ended it; one of the KvEnd* texts or the
  // system's text for a socket error.
  std::string reason;
};

// The loop's reasons for ending a connection.
extern const char kKvEndPeerClosed[];   // "peer closed the connection"
extern const char kKvEndIdle[];         // "peer idle too long"
extern const char kKvEndTooLong[];      // "exchange took too long"
extern const char kKvEndShed[];         // "dropped: too many connections"
extern const char kKvEndStopping[];     // "server stopping"

class KvProtocol {
 public:
  virtual ~KvProtocol() = default;

  // Bytes from the peer (all of them are the protocol's to keep or use);
  // bytes for the peer are appended to out.
  virtual KvNext OnBytes(const unsigned char* data, size_t n, std::string& out) = 0;
  // Serves the complete request on a worker thread; state is that worker's.
  virtual void Work(KvWorkerState* state) = 0;
  // Back on the loop's thread after Work: the reply goes into out.
  virtual KvNext OnWorked(std::string& out) = 0;
  // Whether part of a request has arrived and its answer is not complete.
  // A connection that is not in a request is idle: it is the first to be
  // shed when the table is full, and it is closed at once at a stop.
  virtual bool InRequest() const = 0;
  // Called once, when the connection has been closed.
  virtual void OnEnd(const KvConnectionEnd& end) = 0;
};
