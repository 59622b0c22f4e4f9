// Page checks at open, verification and salvage of table files.
#include "storage/KvStoreCheck.h"

#include <db.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "core/KvError.h"
#include "storage/KvStoreEnv.h"

namespace {

thread_local unsigned long tFailures = 0;

// The header of every page, in the file's byte order on disk and this
// machine's in the cache: offset / size / meaning
//   0    8   log sequence number of the page's last change
//   8    4   the page's own number
//   25   1   page kind
constexpr size_t kPageNumberAt = 8;
constexpr size_t kPageKindAt = 25;
// Page kinds of a B-tree file without duplicates.
constexpr unsigned char kFreePage = 0;
constexpr unsigned char kInternalPage = 3;
constexpr unsigned char kLeafPage = 5;
constexpr unsigned char kOverflowPage = 7;
constexpr unsigned char kMetaPage = 9;

bool KnownKind(db_pgno_t pgno, unsigned char kind) {
  if (pgno == 0) return kind == kMetaPage;
  return kind == kFreePage || kind == kInternalPage || kind == kLeafPage || kind == kOverflowPage;
}

void RecordPage(const std::string& path, db_pgno_t pgno, const char* what) {
  char text[1400];
  std::snprintf(text, sizeof text, "opening table %.600s failed: page %lu %.700s", path.c_str(),
                static_cast<unsigned long>(pgno), what);
  KvStoreClearMessage();
  KvStoreNoteFailure();
  KvError(KERR_General, KERR_Fatal, text);
}

bool SaneHeader(const unsigned char* bytes, db_pgno_t pgno, bool swapped) {
  uint32_t own = 0;
  std::memcpy(&own, bytes + kPageNumberAt, sizeof own);
  if (swapped) own = __builtin_bswap32(own);
  return own == pgno && KnownKind(pgno, bytes[kPageKindAt]);
}

// Page pgno as the cache has it (this machine's byte order). The cache hands
// back pages it finds all zeros (a zeroed range, a hole) unchecked; every
// page the library wrote names itself.
bool CheckThroughCache(DB_MPOOLFILE* mpf, db_pgno_t pgno, const std::string& path, bool zeroOnDisk, int* result) {
  db_pgno_t wanted = pgno;
  void* page = nullptr;
  const int rc = mpf->get(mpf, &wanted, nullptr, 0, &page);
  if (rc != 0) {
    *result = rc;
    char what[600];
    const std::string detail = KvStoreLastMessage();
    std::snprintf(what, sizeof what, "cannot be read: %s%s%.400s", db_strerror(rc), detail.empty() ? "" : ": ",
                  detail.c_str());
    RecordPage(path, pgno, rc == DB_PAGE_NOTFOUND ? "is missing: the file was cut short" : what);
    return false;
  }
  const unsigned char* bytes = static_cast<const unsigned char*>(page);
  uint32_t own = 0;
  std::memcpy(&own, bytes + kPageNumberAt, sizeof own);
  const unsigned char kind = bytes[kPageKindAt];
  (void)mpf->put(mpf, page, DB_PRIORITY_UNCHANGED, 0);
  if (own != pgno) {
    RecordPage(path, pgno, own == 0 || zeroOnDisk ? "is zeroed" : "holds the header of another page");
    return false;
  }
  if (!KnownKind(pgno, kind)) {
    RecordPage(path, pgno, zeroOnDisk ? "is zeroed" : "is of an unknown kind");
    return false;
  }
  return true;
}

void KeepMessage(const DB_ENV*, const char*, const char* message) { KvStoreKeepMessage(message); }
void DropMessage(const DB_ENV*, const char*) {}

struct FileCloser {
  void operator()(FILE* f) const {
    if (f != nullptr) std::fclose(f);
  }
};

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// One line of the library's dump ("bytevalue": a blank, then two hex digits a
// byte). False for anything else.
bool DecodeHexLine(const std::string& line, std::string* out) {
  out->clear();
  if (line.empty() || line[0] != ' ' || (line.size() - 1) % 2 != 0) return false;
  for (size_t i = 1; i + 1 < line.size(); i += 2) {
    const int high = HexDigit(line[i]);
    const int low = HexDigit(line[i + 1]);
    if (high < 0 || low < 0) return false;
    out->push_back(static_cast<char>(high * 16 + low));
  }
  return true;
}

bool ReadLine(FILE* f, std::string* line) {
  line->clear();
  int c;
  while ((c = std::fgetc(f)) != EOF && c != '\n') line->push_back(static_cast<char>(c));
  return c != EOF || !line->empty();
}

}  // namespace

unsigned long KvStoreFailureCount() { return tFailures; }

void KvStoreNoteFailure() { ++tFailures; }

bool KvStoreCheckPages(DB* db, const std::string& path, int* result) {
  *result = 0;
  DB_MPOOLFILE* mpf = db->get_mpf(db);
  db_pgno_t last = 0;
  u_int32_t pageSize = 0;
  int swapped = 0;
  if (mpf == nullptr || mpf->get_last_pgno(mpf, &last) != 0 || db->get_pagesize(db, &pageSize) != 0 ||
      pageSize < kPageKindAt + 1 || db->get_byteswapped(db, &swapped) != 0) {
    RecordPage(path, 0, "cannot be found");
    return false;
  }
  // The file is read in large pieces and only a page whose header looks
  // wrong on disk is read through the cache: a writer of another process may
  // hold pages there that have not reached the file yet.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    RecordPage(path, 0, "cannot be read");
    return false;
  }
  constexpr size_t kPiece = 1u << 20;
  const size_t perPiece = std::max<size_t>(1, kPiece / pageSize);
  std::vector<unsigned char> piece;
  try {
    piece.resize(perPiece * pageSize);
  } catch (const std::bad_alloc&) {
    ::close(fd);
    KvError(KERR_General, KERR_Fatal, "KvStoreCheckPages: no memory");
    return false;
  }
  bool ok = true;
  for (uint64_t first = 0; ok && first <= last; first += perPiece) {
    const uint64_t count = std::min<uint64_t>(perPiece, uint64_t{last} - first + 1);
    const ssize_t got = ::pread(fd, piece.data(), count * pageSize, static_cast<off_t>(first * pageSize));
    const uint64_t whole = got > 0 ? static_cast<uint64_t>(got) / pageSize : 0;
    for (uint64_t i = 0; ok && i < count; ++i) {
      const db_pgno_t pgno = static_cast<db_pgno_t>(first + i);
      const unsigned char* header = piece.data() + i * pageSize;
      if (i < whole && SaneHeader(header, pgno, swapped != 0)) continue;
      const bool zeroOnDisk =
          i < whole && std::all_of(header, header + kPageKindAt + 1, [](unsigned char b) { return b == 0; });
      ok = CheckThroughCache(mpf, pgno, path, zeroOnDisk, result);
    }
  }
  ::close(fd);
  return ok;
}

bool KvStoreVerifyFile(const std::string& path, std::string* problem) {
  problem->clear();
  DB* db = nullptr;
  if (db_create(&db, nullptr, 0) != 0) {
    *problem = "no memory to verify it";
    return false;
  }
  KvStoreClearMessage();
  db->set_errcall(db, KeepMessage);
  db->set_msgcall(db, DropMessage);
  // verify releases the handle whatever it finds.
  const int rc = db->verify(db, path.c_str(), nullptr, nullptr, DB_NOORDERCHK);
  const std::string detail = KvStoreLastMessage();
  KvStoreClearMessage();
  if (rc == 0) return true;
  *problem = db_strerror(rc);
  if (!detail.empty()) *problem += ": " + detail;
  return false;
}

bool KvStoreWalkFile(const std::string& path,
                     const std::function<bool(const std::string& key, const std::string& data)>& take,
                     std::string* problem) {
  problem->clear();
  DB* db = nullptr;
  if (db_create(&db, nullptr, 0) != 0) {
    *problem = "no memory to read it";
    return false;
  }
  std::unique_ptr<DB, void (*)(DB*)> guard(db, [](DB* d) { (void)d->close(d, 0); });
  KvStoreClearMessage();
  db->set_errcall(db, KeepMessage);
  db->set_msgcall(db, DropMessage);
  int rc = db->open(db, nullptr, path.c_str(), nullptr, DB_BTREE, DB_RDONLY, 0);
  int pages = 0;
  if (rc == 0 && !KvStoreCheckPages(db, path, &pages)) {
    *problem = "a page is damaged";
    return false;
  }
  DBC* cursor = nullptr;
  if (rc == 0) rc = db->cursor(db, nullptr, &cursor, 0);
  if (rc == 0) {
    DBT key, data;
    std::memset(&key, 0, sizeof key);
    std::memset(&data, 0, sizeof data);
    while ((rc = cursor->get(cursor, &key, &data, DB_NEXT)) == 0) {
      if (!take(std::string(static_cast<const char*>(key.data), key.size),
                std::string(static_cast<const char*>(data.data), data.size))) {
        break;
      }
    }
    (void)cursor->close(cursor);
    if (rc == DB_NOTFOUND || rc == 0) rc = 0;
  }
  const std::string detail = KvStoreLastMessage();
  KvStoreClearMessage();
  if (rc == 0) return true;
  *problem = db_strerror(rc);
  if (!detail.empty()) *problem += ": " + detail;
  return false;
}

bool KvStoreSalvageFile(const std::string& path,
                        const std::function<bool(const std::string& key, const std::string& data)>& take,
                        std::string* problem) {
  problem->clear();
  std::unique_ptr<FILE, FileCloser> dump(std::tmpfile());
  if (dump == nullptr) {
    *problem = "no scratch file for the salvage";
    return false;
  }
  DB* db = nullptr;
  if (db_create(&db, nullptr, 0) != 0) {
    *problem = "no memory for the salvage";
    return false;
  }
  KvStoreClearMessage();
  db->set_errcall(db, KeepMessage);
  db->set_msgcall(db, DropMessage);
  // The salvage writes what it reads in the library's dump form (pairs of
  // hex lines); its result only says whether the file was whole.
  (void)db->verify(db, path.c_str(), nullptr, dump.get(), DB_SALVAGE);
  const std::string detail = KvStoreLastMessage();
  KvStoreClearMessage();
  std::fflush(dump.get());
  std::rewind(dump.get());
  std::string line, key, data;
  bool inData = false, header = false;
  while (ReadLine(dump.get(), &line)) {
    if (!inData) {
      if (line == "HEADER=END") inData = header = true;
      continue;
    }
    if (line == "DATA=END") {
      inData = false;
      continue;
    }
    if (!DecodeHexLine(line, &key)) continue;
    if (!ReadLine(dump.get(), &line) || !DecodeHexLine(line, &data)) break;
    if (!take(key, data)) return true;
  }
  if (!header) {
    *problem = detail.empty() ? "nothing could be read" : detail;
    return false;
  }
  return true;
}
