// The MPI job a sharded command runs in: started when the process was
// launched by mpirun (a job of one process otherwise, with no MPI calls), and
// the few collectives the shard code needs, over byte strings.
//
// Every rank must call the collectives in the same order. A rank that dies
// ends the whole job (MPI's default error handler): mpirun reports the rank
// and exits non-zero, so a query never answers without it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kivo {
namespace shard {

class MpiJob {
 public:
  // Initialises MPI when the process runs under mpirun.
  MpiJob();
  // Finalises MPI if this object initialised it.
  ~MpiJob();
  MpiJob(const MpiJob&) = delete;
  MpiJob& operator=(const MpiJob&) = delete;

  int Rank() const { return rank_; }
  int Size() const { return size_; }
  bool Root() const { return rank_ == 0; }
  // Whether shard i of count is this rank's: shards go round the ranks.
  bool Owns(int shard) const { return shard % size_ == rank_; }

  // Every rank's bytes, in rank order, on every rank.
  std::vector<std::string> AllGather(const std::string& mine) const;
  // Every rank's bytes, in rank order, on rank 0 (empty elsewhere).
  std::vector<std::string> Gather(const std::string& mine) const;
  // Rank 0's bytes on every rank.
  void Broadcast(std::string* bytes) const;
  // The same for ranks that may wait long for rank 0 (a server's queries):
  // they look for the bytes every millisecond and sleep between looks,
  // where a plain broadcast keeps a core busy while it waits. Every rank
  // must call this one, not Broadcast, for the same exchange.
  void BroadcastWaiting(std::string* bytes) const;
  // The largest value of every rank's, on every rank.
  int AllMax(int value) const;

 private:
  bool started_ = false;
  int rank_ = 0;
  int size_ = 1;
};

// Byte strings of the exchanges: big-endian 32-bit numbers and
// length-prefixed texts (a 32-bit length, then the bytes).
class WireWriter {
 public:
  void Put32(uint32_t v);
  void PutText(const std::string& text);
  const std::string& Bytes() const { return bytes_; }

 private:
  std::string bytes_;
};

class WireReader {
 public:
  // bytes must outlive the reader.
  explicit WireReader(const std::string& bytes)
      : p_(reinterpret_cast<const unsigned char*>(bytes.data())), end_(p_ + bytes.size()) {}
  // False once the bytes run short; every later read fails too.
  bool Get32(uint32_t* v);
  bool GetText(std::string* text);
  bool AtEnd() const { return p_ == end_; }

 private:
  const unsigned char* p_;
  const unsigned char* end_;
};

}  // namespace shard
}  // namespace kivo
