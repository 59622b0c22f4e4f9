// The MPI job of a sharded command and its byte-string collectives.
#include "KivoShardMpi.h"

#include <mpi.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <thread>

#include "core/KvBytes.h"

namespace kivo {
namespace shard {
namespace {

// Set by mpirun in every process it starts.
bool LaunchedByMpirun() {
  return std::getenv("OMPI_COMM_WORLD_SIZE") != nullptr || std::getenv("PMIX_RANK") != nullptr;
}

// Displacements of counts; false when the total does not fit an int (MPI's
// count type).
bool Displacements(const std::vector<int>& counts, std::vector<int>* at, int* total) {
  long long sum = 0;
  at->clear();
  for (int c : counts) {
    at->push_back(static_cast<int>(sum));
    sum += c;
    if (sum > INT_MAX) return false;
  }
  *total = static_cast<int>(sum);
  return true;
}

std::vector<std::string> Split(const std::string& all, const std::vector<int>& counts, const std::vector<int>& at) {
  std::vector<std::string> parts;
  for (size_t i = 0; i < counts.size(); ++i) parts.push_back(all.substr(static_cast<size_t>(at[i]), counts[i]));
  return parts;
}

}  // namespace

MpiJob::MpiJob() {
  if (!LaunchedByMpirun()) return;
  int initialised = 0;
  MPI_Initialized(&initialised);
  if (initialised == 0) {
    // Only this thread calls MPI; the scan's worker threads never do.
    int provided = 0;
    MPI_Init_thread(nullptr, nullptr, MPI_THREAD_FUNNELED, &provided);
    started_ = true;
  }
  MPI_Comm_rank(MPI_COMM_WORLD, &rank_);
  MPI_Comm_size(MPI_COMM_WORLD, &size_);
}

MpiJob::~MpiJob() {
  if (started_) MPI_Finalize();
}

std::vector<std::string> MpiJob::AllGather(const std::string& mine) const {
  if (size_ == 1) return {mine};
  std::vector<int> counts(static_cast<size_t>(size_));
  int count = static_cast<int>(mine.size());
  MPI_Allgather(&count, 1, MPI_INT, counts.data(), 1, MPI_INT, MPI_COMM_WORLD);
  std::vector<int> at;
  int total = 0;
  if (!Displacements(counts, &at, &total)) MPI_Abort(MPI_COMM_WORLD, 1);
  std::string all(static_cast<size_t>(total), '\0');
  MPI_Allgatherv(mine.data(), count, MPI_BYTE, &all[0], counts.data(), at.data(), MPI_BYTE, MPI_COMM_WORLD);
  return Split(all, counts, at);
}

std::vector<std::string> MpiJob::Gather(const std::string& mine) const {
  if (size_ == 1) return {mine};
  std::vector<int> counts(static_cast<size_t>(size_));
  int count = static_cast<int>(mine.size());
  MPI_Gather(&count, 1, MPI_INT, counts.data(), 1, MPI_INT, 0, MPI_COMM_WORLD);
  std::vector<int> at;
  int total = 0;
  if (rank_ == 0 && !Displacements(counts, &at, &total)) MPI_Abort(MPI_COMM_WORLD, 1);
  std::string all(static_cast<size_t>(total), '\0');
  MPI_Gatherv(mine.data(), count, MPI_BYTE, rank_ == 0 ? &all[0] : nullptr, counts.data(), at.data(), MPI_BYTE, 0,
              MPI_COMM_WORLD);
  if (rank_ != 0) return {};
  return Split(all, counts, at);
}

void MpiJob::Broadcast(std::string* bytes) const {
  if (size_ == 1) return;
  int count = static_cast<int>(bytes->size());
  MPI_Bcast(&count, 1, MPI_INT, 0, MPI_COMM_WORLD);
  bytes->resize(static_cast<size_t>(count));
  if (count > 0) MPI_Bcast(&(*bytes)[0], count, MPI_BYTE, 0, MPI_COMM_WORLD);
}

void MpiJob::BroadcastWaiting(std::string* bytes) const {
  if (size_ == 1) return;
  int count = static_cast<int>(bytes->size());
  MPI_Request request;
  MPI_Ibcast(&count, 1, MPI_INT, 0, MPI_COMM_WORLD, &request);
  int done = 0;
  MPI_Test(&request, &done, MPI_STATUS_IGNORE);
  while (done == 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    MPI_Test(&request, &done, MPI_STATUS_IGNORE);
  }
  bytes->resize(static_cast<size_t>(count));
  if (count > 0) MPI_Bcast(&(*bytes)[0], count, MPI_BYTE, 0, MPI_COMM_WORLD);
}

int MpiJob::AllMax(int value) const {
  if (size_ == 1) return value;
  int out = value;
  MPI_Allreduce(&value, &out, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
  return out;
}

void WireWriter::Put32(uint32_t v) {
  unsigned char b[4];
  Encode32BE(b, v);
  bytes_.append(reinterpret_cast<const char*>(b), 4);
}

void WireWriter::PutText(const std::string& text) {
  Put32(static_cast<uint32_t>(text.size()));
  bytes_ += text;
}

bool WireReader::Get32(uint32_t* v) {
  if (!Decode32BE(p_, end_, v)) {
    p_ = end_;
    return false;
  }
  p_ += 4;
  return true;
}

bool WireReader::GetText(std::string* text) {
  uint32_t n = 0;
  if (!Get32(&n) || static_cast<size_t>(end_ - p_) < n) {
    p_ = end_;
    return false;
  }
  text->assign(reinterpret_cast<const char*>(p_), n);
  p_ += n;
  return true;
}

}  // namespace shard
}  // namespace kivo
