// kivo index on a sharded catalog: the run of one catalog over every shard
// (or, under mpirun, over the shards of this rank), the summaries of the
// ranks added up on rank 0.
//
// Summary, every rank to rank 0 (WireWriter layout):
//   status, added, updated, removed, skipped  32-bit each
//   fatal text                                 the reason of a failed run
//   failures                                   then per failure: path text, reason text
#include <algorithm>
#include <ostream>
#include <set>

#include "KivoShardCommands.h"
#include "KivoShardMpi.h"
#include "KivoShardWhole.h"
#include "KivoStore.h"

namespace kivo {
namespace shard {
namespace {

std::string EncodeSummary(int status, const IndexSummary& s, const std::string& fatal) {
  WireWriter w;
  for (size_t v : {static_cast<size_t>(status), s.added, s.updated, s.removed, s.skipped}) {
    w.Put32(static_cast<uint32_t>(v));
  }
  w.PutText(fatal);
  w.Put32(static_cast<uint32_t>(s.failures.size()));
  for (const auto& f : s.failures) {
    w.PutText(f.first);
    w.PutText(f.second);
  }
  return w.Bytes();
}

// Adds one rank's summary to *all. A failure every rank saw (a path given
// that does not exist) is listed once. False for damaged bytes.
bool AddSummary(const std::string& bytes, int* status, IndexSummary* all, std::string* fatal) {
  WireReader r(bytes);
  uint32_t v[5] = {0, 0, 0, 0, 0};
  for (uint32_t& x : v) {
    if (!r.Get32(&x)) return false;
  }
  std::string text;
  uint32_t count = 0;
  if (!r.GetText(&text) || !r.Get32(&count)) return false;
  *status = std::max(*status, static_cast<int>(v[0]));
  all->added += v[1];
  all->updated += v[2];
  all->removed += v[3];
  all->skipped += v[4];
  if (fatal->empty()) *fatal = text;
  for (uint32_t i = 0; i < count; ++i) {
    std::pair<std::string, std::string> f;
    if (!r.GetText(&f.first) || !r.GetText(&f.second)) return false;
    if (std::find(all->failures.begin(), all->failures.end(), f) == all->failures.end()) {
      all->failures.push_back(std::move(f));
    }
  }
  all->failed = all->failures.size();
  return r.AtEnd();
}

// This rank's part of the run: its shards opened, locked and indexed.
int IndexLocal(const MpiJob& job, const IndexOptions& options, const Manifest& m,
               const std::vector<std::string>& given, std::ostream& err, IndexSummary* summary,
               WholeJournal* journal, std::string* fatal) {
  IndexTarget target;
  std::vector<int> slot(m.shards.size(), -1);
  for (size_t i = 0; i < m.shards.size(); ++i) {
    if (!job.Owns(static_cast<int>(i))) continue;
    auto store = std::make_unique<CatalogStore>();
    if (!store->Open(options.database, m.shards[i], true, fatal) || !store->Lock(fatal)) {
      *fatal = "shard " + m.shards[i] + ": " + *fatal;
      return 1;
    }
    slot[i] = static_cast<int>(target.stores.size());
    target.stores.push_back(std::move(store));
  }
  // A rank without shards (more ranks than shards) has nothing to write.
  if (target.stores.empty()) return 0;
  const size_t count = m.shards.size();
  target.route = [&slot, count](const std::string& key) { return slot[static_cast<size_t>(ShardOfKey(key, count))]; };
  target.observe = [&target, journal](const Change& change, const std::string& order) {
    journal->Observe(target, change, order);
  };
  IndexOptions mine = options;
  if (job.Root()) return RunIndexOn(mine, given, target, err, summary, fatal);
  // Rank 0 alone draws progress and writes the refusals every rank makes;
  // what fails on this rank reaches rank 0 in its summary.
  mine.quiet = true;
  std::ostream silent(nullptr);
  return RunIndexOn(mine, given, target, silent, summary, fatal);
}

// After a run refused before anything was written: the statistics are as
// valid as they were.
void RestoreWhole(const MpiJob& job, const IndexOptions& options, WholeBlocks* whole) {
  std::string ignored;
  // A file left marked makes queries pool, which is still an answer.
  if (job.Root() && whole->valid) WriteWhole(options.database, options.catalog, *whole, &ignored);
}

// The run of every rank; rank 0 prints and gives the status.
int IndexOnRanks(const MpiJob& job, const IndexOptions& options, const Manifest& m, std::ostream& out,
                 std::ostream& err) {
  // The list is read once, by rank 0 (only it has the standard input), and
  // handed to every rank.
  int status = 0;
  std::vector<std::string> given;
  std::string list;
  WholeBlocks whole;
  if (job.Root()) {
    // Marked not valid before any rank writes, so that a killed run leaves
    // them so.
    std::string why;
    if (!ReadWhole(options.database, options.catalog, &whole, &why)) err << "kivo index: " << why << '\n';
    if (whole.valid) {
      whole.valid = false;
      if (!WriteWhole(options.database, options.catalog, whole, &why)) err << "kivo index: " << why << '\n';
      whole.valid = true;
    }
    if (!GivenPaths(options, err, &given)) status = kExitUsage;
    for (const std::string& g : given) list.append(g).push_back('\0');
    if (status != 0) list = std::string(1, '\1');
  }
  job.Broadcast(&list);
  if (list == std::string(1, '\1')) {
    RestoreWhole(job, options, &whole);
    return kExitUsage;
  }
  given.clear();
  for (size_t i = 0; i < list.size();) {
    const size_t j = list.find('\0', i);
    given.push_back(list.substr(i, j - i));
    i = j + 1;
  }
  if (given.empty()) {
    if (job.Root()) err << "kivo index: no files or folders to index\n";
    RestoreWhole(job, options, &whole);
    return kExitUsage;
  }

  IndexSummary summary;
  std::string fatal;
  WholeJournal journal;
  status = IndexLocal(job, options, m, given, err, &summary, &journal, &fatal);
  const std::vector<std::string> parts = job.Gather(EncodeSummary(status, summary, fatal));
  const std::vector<std::string> journals = job.Gather(journal.Encode());
  if (!job.Root()) return 0;
  IndexSummary all;
  int allStatus = 0;
  std::string allFatal;
  for (const std::string& p : parts) {
    if (!AddSummary(p, &allStatus, &all, &allFatal)) {
      allStatus = 1;
      allFatal = "a rank of the job sent a damaged summary";
    }
  }
  // The whole-catalog statistics follow the run's writes when every rank
  // wrote all it meant to (a run refused before writing leaves them as
  // they were); otherwise they stay marked as not valid.
  if (whole.valid && allStatus != 1) {
    std::vector<WholeJournal> decoded(journals.size());
    bool intact = true;
    for (size_t i = 0; i < journals.size(); ++i) intact = intact && decoded[i].Decode(journals[i]);
    if (intact) {
      WholeJournal::Apply(decoded, &whole);
      std::string why;
      if (!WriteWhole(options.database, options.catalog, whole, &why)) err << "kivo index: " << why << '\n';
    }
  }
  return ReportIndex(options, allStatus, all, allFatal, out, err);
}

}  // namespace

int IndexSharded(const IndexOptions& options, std::ostream& out, std::ostream& err) {
  Manifest m;
  std::string error;
  const int found = ReadManifest(options.database, options.catalog, &m, &error);
  if (found == 0) return -1;
  MpiJob job;
  // Rank 0 gives the job's status: a failing status of another rank could
  // end the job before rank 0 has printed why.
  if (!job.Root()) {
    if (found > 0) IndexOnRanks(job, options, m, out, err);
    return 0;
  }
  if (found < 0) {
    err << "kivo index: " << error << '\n';
    return kExitFailed;
  }
  return IndexOnRanks(job, options, m, out, err);
}

}  // namespace shard
}  // namespace kivo
