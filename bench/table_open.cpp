// The cost of the page check a table gets when it is first opened, beside the
// open alone and a full walk of the same table, measured in the same run.
//
//   bench_table_open [records] [record-bytes] [rounds]
//
// Writes one checksummed B-tree table of the given records (default 200000
// records of 100 bytes, keys like image names) in a temporary folder, then
// reports the median wall-clock time of each, over the rounds (default 5):
//   open         open and close the table (the baseline),
//   open+check   the same with every page's header read (KvStoreCheckPages),
//   walk         open, read every record with a cursor, close (what a query
//                without scan files does).
#include <db.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "storage/KvStoreCheck.h"

namespace {

double Seconds(const std::function<bool()>& work) {
  const auto start = std::chrono::steady_clock::now();
  if (!work()) {
    std::fprintf(stderr, "bench_table_open: a round failed\n");
    std::exit(1);
  }
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

DB* Open(const std::string& path, bool create) {
  DB* db = nullptr;
  if (db_create(&db, nullptr, 0) != 0) return nullptr;
  if (create) db->set_flags(db, DB_CHKSUM);
  if (db->open(db, nullptr, path.c_str(), nullptr, DB_BTREE, create ? DB_CREATE : DB_RDONLY, 0600) != 0) {
    (void)db->close(db, 0);
    return nullptr;
  }
  return db;
}

bool Write(const std::string& path, long records, size_t bytes) {
  DB* db = Open(path, true);
  if (db == nullptr) return false;
  std::string value(bytes, 'v');
  char key[64];
  bool ok = true;
  for (long i = 0; i < records && ok; ++i) {
    const int n = std::snprintf(key, sizeof key, "photos/folder%03ld/image%07ld.jpg", i % 997, i);
    DBT k, d;
    std::memset(&k, 0, sizeof k);
    std::memset(&d, 0, sizeof d);
    k.data = key;
    k.size = static_cast<u_int32_t>(n + 1);
    std::memcpy(&value[0], &i, sizeof i);
    d.data = &value[0];
    d.size = static_cast<u_int32_t>(value.size());
    ok = db->put(db, nullptr, &k, &d, 0) == 0;
  }
  return db->close(db, 0) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  const long records = argc > 1 ? std::atol(argv[1]) : 200000;
  const size_t bytes = argc > 2 ? static_cast<size_t>(std::atol(argv[2])) : 100;
  const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 5;
  char folder[] = "/tmp/bench_table_openXXXXXX";
  if (::mkdtemp(folder) == nullptr || records <= 0) return 1;
  const std::string path = std::string(folder) + "/Table.cat";
  if (!Write(path, records, bytes)) {
    std::fprintf(stderr, "bench_table_open: cannot write %s\n", path.c_str());
    return 1;
  }
  std::vector<double> open, check, walk;
  for (int r = 0; r < rounds; ++r) {
    open.push_back(Seconds([&] {
      DB* db = Open(path, false);
      return db != nullptr && db->close(db, 0) == 0;
    }));
    check.push_back(Seconds([&] {
      DB* db = Open(path, false);
      int rc = 0;
      const bool ok = db != nullptr && KvStoreCheckPages(db, path, &rc);
      return db != nullptr && db->close(db, 0) == 0 && ok;
    }));
    walk.push_back(Seconds([&] {
      DB* db = Open(path, false);
      DBC* cursor = nullptr;
      if (db == nullptr || db->cursor(db, nullptr, &cursor, 0) != 0) return false;
      DBT k, d;
      std::memset(&k, 0, sizeof k);
      std::memset(&d, 0, sizeof d);
      long seen = 0;
      while (cursor->get(cursor, &k, &d, DB_NEXT) == 0) ++seen;
      (void)cursor->close(cursor);
      return db->close(db, 0) == 0 && seen == records;
    }));
  }
  std::FILE* f = std::fopen(path.c_str(), "rb");
  long size = 0;
  if (f != nullptr && std::fseek(f, 0, SEEK_END) == 0) size = std::ftell(f);
  if (f != nullptr) std::fclose(f);
  std::printf("table of %ld records of %zu bytes, %.1f MB; median of %d rounds\n", records, bytes, size / 1e6, rounds);
  std::printf("  open         %8.2f ms  (baseline)\n", Median(open) * 1e3);
  std::printf("  open+check   %8.2f ms  (+%.2f ms for the page check)\n", Median(check) * 1e3,
              (Median(check) - Median(open)) * 1e3);
  std::printf("  walk         %8.2f ms  (the check is %.0f%% of a walk)\n", Median(walk) * 1e3,
              100.0 * (Median(check) - Median(open)) / Median(walk));
  (void)::unlink(path.c_str());
  (void)::rmdir(folder);
  return 0;
}
