// Stamps of table files whose pages were found sound.
#include "storage/KvStoreStamp.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>

namespace {

// A stamp is one line of text:
//   "kivo page check <version> <device> <inode> <size> <mtime s> <mtime ns>
//    <ctime s> <ctime ns>\n"
// compared whole with the line the current file would get, so that anything
// else in the file (cut short, garbled, an older check) is no stamp.
constexpr int kCheckVersion = 1;
constexpr size_t kMaxStamp = 256;

// A change of the file system's clock lags the real clock by at most one tick
// (a few milliseconds); a file whose times are older than this before it was
// looked at cannot change again and keep them.
constexpr int64_t kSettledNanos = 100 * 1000 * 1000;

int64_t Nanos(const struct timespec& t) { return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec; }

std::string StampText(const KvStoreFileIdentity& id) {
  char text[kMaxStamp];
  std::snprintf(text, sizeof text, "kivo page check %d %llu %llu %lld %lld %ld %lld %ld\n", kCheckVersion,
                static_cast<unsigned long long>(id.device), static_cast<unsigned long long>(id.inode),
                static_cast<long long>(id.size), static_cast<long long>(id.modified.tv_sec), id.modified.tv_nsec,
                static_cast<long long>(id.changed.tv_sec), id.changed.tv_nsec);
  return text;
}

// Table file names are plain names inside the database directory.
bool PlainName(const std::string& name) {
  return !name.empty() && name[0] != '.' && name.find('/') == std::string::npos && name.size() < 200;
}

std::string StampPath(const std::string& home, const std::string& name) {
  return home + "/" + kKvStoreStampDirectory + "/" + name;
}

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool KvStoreIdentityOf(const std::string& path, KvStoreFileIdentity* identity) {
  ::clock_gettime(CLOCK_REALTIME, &identity->taken);
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return false;
  identity->device = st.st_dev;
  identity->inode = st.st_ino;
  identity->size = st.st_size;
  identity->modified = st.st_mtim;
  identity->changed = st.st_ctim;
  return true;
}

bool KvStoreStamped(const std::string& home, const std::string& name, const KvStoreFileIdentity& identity) {
  if (!PlainName(name)) return false;
  const int fd = ::open(StampPath(home, name).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  char bytes[kMaxStamp + 1];
  ssize_t got;
  while ((got = ::read(fd, bytes, sizeof bytes)) < 0 && errno == EINTR) {
  }
  ::close(fd);
  if (got <= 0) return false;
  return std::string(bytes, static_cast<size_t>(got)) == StampText(identity);
}

void KvStoreStamp(const std::string& home, const std::string& name, const KvStoreFileIdentity& identity) {
  if (!PlainName(name)) return;
  const int64_t latest = std::max(Nanos(identity.modified), Nanos(identity.changed));
  if (Nanos(identity.taken) - latest < kSettledNanos) return;
  const std::string folder = home + "/" + kKvStoreStampDirectory;
  // Every failure below leaves the table unstamped, which only costs the
  // next opener a check of its pages.
  if (::mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST) return;
  std::string temporary = folder + "/.stamp.XXXXXX";
  const int fd = ::mkostemp(&temporary[0], O_CLOEXEC);
  if (fd < 0) return;
  const bool written = WriteAll(fd, StampText(identity));
  const bool closed = ::close(fd) == 0;
  if (!written || !closed || ::rename(temporary.c_str(), StampPath(home, name).c_str()) != 0) {
    (void)::unlink(temporary.c_str());
  }
}

void KvStoreUnstamp(const std::string& home, const std::string& name) {
  // A stamp left behind names an identity no new file can have.
  if (PlainName(name)) (void)::unlink(StampPath(home, name).c_str());
}
