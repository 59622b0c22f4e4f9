// Scan views: building from a table, mapping a scan file, writing one, and
// finding keys the way table lookups find them.
#include "scan/KvScanView.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xxhash.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "core/KvDatum.h"
#include "core/KvError.h"
#include "query/KvDeadline.h"
#include "storage/KvConnect.h"

namespace {

// Byte order of B-tree keys: bytes compared as unsigned, a prefix first.
int CompareKeys(const char* a, size_t an, const char* b, size_t bn) {
  const int c = std::memcmp(a, b, std::min(an, bn));
  if (c != 0) return c;
  return an < bn ? -1 : (an > bn ? 1 : 0);
}

// Sequential writer of a scan file body that pads to each area's offset and
// keeps the running checksum of everything behind the header.
class BodyWriter {
 public:
  BodyWriter(int fd, XXH3_state_t* state) : fd_(fd), state_(state) { buffer_.reserve(kBuffer); }
  bool At(uint64_t offset) {
    static const unsigned char zeros[8] = {0};
    while (position_ < offset) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(offset - position_, sizeof zeros));
      if (!Put(zeros, n)) return false;
    }
    return position_ == offset;
  }
  bool Put(const void* bytes, size_t size) {
    const unsigned char* p = static_cast<const unsigned char*>(bytes);
    while (size > 0) {
      const size_t n = std::min(size, kBuffer - buffer_.size());
      buffer_.insert(buffer_.end(), p, p + n);
      p += n;
      size -= n;
      position_ += n;
      if (buffer_.size() == kBuffer && !Flush()) return false;
    }
    return true;
  }
  bool Flush() {
    if (buffer_.empty()) return true;
    XXH3_64bits_update(state_, buffer_.data(), buffer_.size());
    const unsigned char* p = buffer_.data();
    size_t left = buffer_.size();
    while (left > 0) {
      const ssize_t n = ::write(fd_, p, left);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      p += n;
      left -= static_cast<size_t>(n);
    }
    buffer_.clear();
    return true;
  }

 private:
  static constexpr size_t kBuffer = 1 << 20;
  int fd_;
  XXH3_state_t* state_;
  std::vector<unsigned char> buffer_;
  uint64_t position_ = kKvScanHeaderSize;
};

bool WriteAll(int fd, const unsigned char* p, size_t size, off_t at) {
  while (size > 0) {
    const ssize_t n = ::pwrite(fd, p, size, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
    at += n;
  }
  return true;
}

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

}  // namespace

KvScanView::~KvScanView() {
  if (mapping_ != nullptr) ::munmap(mapping_, mappingSize_);
}

std::shared_ptr<KvScanView> KvScanView::Build(KvDatabaseClass* table, const KvScanLayout& layout) {
  std::shared_ptr<KvScanView> view(new (std::nothrow) KvScanView);
  if (view == nullptr || table == nullptr) {
    KvError(KERR_General, KERR_Fatal, "KvScanView::Build: no table or no memory");
    return nullptr;
  }
  try {
    std::unique_ptr<KvDbIteratorClass> it(table->NewIterator());
    if (it == nullptr) return nullptr;
    KvDatumClass key;
    KvDatumClass data;
    view->ownKeyOffsets_.push_back(0);
    view->ownOddOffsets_.push_back(0);
    size_t count = 0;
    // A walk on behalf of an evaluation keeps to its time limit (a damaged
    // table may never end); the search then fails as the table walk would.
    KvDeadlineTicker deadline(KvCurrentDeadline());
    while (it->HasCurrent()) {
      if (deadline.Tick()) return nullptr;
      if (it->NextView(key, data) != 0) {
        KvError(KERR_General, KERR_NonFatal, "KvScanView::Build: reading the next record failed");
        return nullptr;
      }
      const char* k = reinterpret_cast<const char*>(key.Data());
      view->ownKeyBytes_.insert(view->ownKeyBytes_.end(), k, k + key.Size());
      view->ownKeyOffsets_.push_back(view->ownKeyBytes_.size());
      view->ownSlots_.resize(view->ownSlots_.size() + layout.stride);
      unsigned char* slot = view->ownSlots_.data() + count * layout.stride;
      if (data.Data() == nullptr || !layout.encode(data.Data(), data.Size(), slot)) {
        view->ownOddPositions_.push_back(count);
        if (data.Size() > 0) {
          view->ownOddBytes_.insert(view->ownOddBytes_.end(), data.Data(), data.Data() + data.Size());
        }
        view->ownOddOffsets_.push_back(view->ownOddBytes_.size());
      }
      ++count;
    }
    KvScanView& v = *view;
    v.layout_ = &layout;
    v.count_ = count;
    v.stride_ = layout.stride;
    v.slots_ = v.ownSlots_.data();
    v.keyOffsets_ = v.ownKeyOffsets_.data();
    v.keyBytes_ = v.ownKeyBytes_.data();
    v.oddCount_ = v.ownOddPositions_.size();
    v.oddPositions_ = v.ownOddPositions_.data();
    v.oddOffsets_ = v.ownOddOffsets_.data();
    v.oddBytes_ = v.ownOddBytes_.data();
    v.header_.layout = layout.id;
    v.header_.stride = layout.stride;
    v.header_.recordSize = layout.recordSize;
    v.header_.count = count;
    v.header_.keyBytesSize = v.ownKeyBytes_.size();
    v.header_.oddCount = v.oddCount_;
    v.header_.oddBytesSize = v.ownOddBytes_.size();
    KvScanPlaceAreas(&v.header_);
  } catch (const std::bad_alloc&) {
    KvError(KERR_Alloc, KERR_Fatal, 0, "KvScanView::Build");
    return nullptr;
  }
  return view;
}

bool KvScanView::Write(const std::string& path, const KvScanStamp& stamp, const std::string& tableName) const {
  std::string temp = DirectoryOf(path) + "/.build-XXXXXX";
  const int fd = ::mkstemp(&temp[0]);
  if (fd < 0) return false;
  XXH3_state_t* state = XXH3_createState();
  // The body goes behind the room of the header, which is written last.
  bool ok = state != nullptr && XXH3_64bits_reset(state) == XXH_OK &&
            ::lseek(fd, static_cast<off_t>(kKvScanHeaderSize), SEEK_SET) == static_cast<off_t>(kKvScanHeaderSize);
  KvScanHeader h = header_;
  h.stamp = stamp;
  h.tableName = tableName;
  if (ok) {
    BodyWriter out(fd, state);
    ok = out.At(h.recordsOffset) && out.Put(slots_, count_ * stride_) && out.At(h.keyOffsetsOffset) &&
         out.Put(keyOffsets_, (count_ + 1) * 8) && out.At(h.keyBytesOffset) &&
         out.Put(keyBytes_, h.keyBytesSize) && out.At(h.oddPositionsOffset) &&
         out.Put(oddPositions_, oddCount_ * 8) && out.At(h.oddOffsetsOffset) &&
         out.Put(oddOffsets_, (oddCount_ + 1) * 8) && out.At(h.oddBytesOffset) &&
         out.Put(oddBytes_, h.oddBytesSize) && out.At(h.fileSize) && out.Flush();
  }
  if (ok) {
    h.bodyChecksum = XXH3_64bits_digest(state);
    unsigned char header[kKvScanHeaderSize];
    KvScanEncodeHeader(h, header);
    // Synced before the rename: after a crash the name refers to a whole file.
    ok = WriteAll(fd, header, sizeof header, 0) && ::fdatasync(fd) == 0;
  }
  if (state != nullptr) XXH3_freeState(state);
  ::fchmod(fd, 0600);
  ok = ::close(fd) == 0 && ok;
  if (ok) ok = ::rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) {
    ::unlink(temp.c_str());
    return false;
  }
  const int dir = ::open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    (void)::fsync(dir);  // the rename reaches the disk with the next sync at the latest
    ::close(dir);
  }
  return true;
}

std::shared_ptr<KvScanView> KvScanView::Map(const std::string& path, std::string* why) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    *why = errno == ENOENT ? "missing" : std::strerror(errno);
    return nullptr;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < static_cast<off_t>(kKvScanHeaderSize)) {
    ::close(fd);
    *why = "not a scan file";
    return nullptr;
  }
  const size_t size = static_cast<size_t>(st.st_size);
  void* mapping = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
  ::close(fd);
  if (mapping == MAP_FAILED) {
    *why = std::strerror(errno);
    return nullptr;
  }
  std::shared_ptr<KvScanView> view(new (std::nothrow) KvScanView);
  if (view == nullptr) {
    ::munmap(mapping, size);
    *why = "out of memory";
    return nullptr;
  }
  view->mapping_ = mapping;
  view->mappingSize_ = size;
  const unsigned char* base = static_cast<const unsigned char*>(mapping);
  if (!KvScanDecodeHeader(base, size, size, &view->header_, why)) return nullptr;
  KvScanView& v = *view;
  v.layout_ = KvScanLayoutById(v.header_.layout);
  v.count_ = static_cast<size_t>(v.header_.count);
  v.stride_ = v.header_.stride;
  v.slots_ = base + v.header_.recordsOffset;
  v.keyOffsets_ = reinterpret_cast<const uint64_t*>(base + v.header_.keyOffsetsOffset);
  v.keyBytes_ = reinterpret_cast<const char*>(base + v.header_.keyBytesOffset);
  v.oddCount_ = static_cast<size_t>(v.header_.oddCount);
  v.oddPositions_ = reinterpret_cast<const uint64_t*>(base + v.header_.oddPositionsOffset);
  v.oddOffsets_ = reinterpret_cast<const uint64_t*>(base + v.header_.oddOffsetsOffset);
  v.oddBytes_ = base + v.header_.oddBytesOffset;
  if (!v.CheckAreas(why)) return nullptr;
  // The slots are read from start to end by every scan.
  ::madvise(mapping, size, MADV_WILLNEED);
  return view;
}

bool KvScanView::CheckAreas(std::string* why) const {
  if (keyOffsets_[0] != 0 || keyOffsets_[count_] != header_.keyBytesSize) {
    *why = "key offsets do not span the key bytes";
    return false;
  }
  for (size_t i = 0; i < count_; ++i) {
    if (keyOffsets_[i + 1] < keyOffsets_[i]) {
      *why = "key offsets fall";
      return false;
    }
  }
  if (oddOffsets_[0] != 0 || oddOffsets_[oddCount_] != header_.oddBytesSize) {
    *why = "odd record offsets do not span the odd bytes";
    return false;
  }
  for (size_t k = 0; k < oddCount_; ++k) {
    if (oddOffsets_[k + 1] < oddOffsets_[k] || oddPositions_[k] >= count_ ||
        (k > 0 && oddPositions_[k] <= oddPositions_[k - 1])) {
      *why = "odd records out of order";
      return false;
    }
  }
  return true;
}

int64_t KvScanView::OddIndex(size_t i) const {
  const uint64_t* end = oddPositions_ + oddCount_;
  const uint64_t* at = std::lower_bound(oddPositions_, end, static_cast<uint64_t>(i));
  return at != end && *at == i ? at - oddPositions_ : -1;
}

int64_t KvScanView::Exact(const char* key, size_t size) const {
  size_t lo = 0;
  size_t hi = count_;
  while (lo < hi) {
    const size_t mid = lo + (hi - lo) / 2;
    const int c = CompareKeys(Key(mid), KeySize(mid), key, size);
    if (c == 0) return static_cast<int64_t>(mid);
    if (c < 0) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return -1;
}

int64_t KvScanView::Find(const char* key, size_t size) const {
  if (key == nullptr) return -1;
  const int64_t at = Exact(key, size);
  if (at >= 0) return at;
  if (size > 0 && key[size - 1] == '\0') return Exact(key, size - 1);
  // The form with a NUL: compare against key + "\0" without copying it.
  size_t lo = 0;
  size_t hi = count_;
  while (lo < hi) {
    const size_t mid = lo + (hi - lo) / 2;
    const char* k = Key(mid);
    const size_t n = KeySize(mid);
    int c = std::memcmp(k, key, std::min(n, size));
    if (c == 0) {
      if (n <= size) {
        c = -1;  // a prefix of key (or key itself) sorts before key + NUL
      } else {
        const unsigned char next = static_cast<unsigned char>(k[size]);
        c = next > 0 ? 1 : (n > size + 1 ? 1 : 0);
      }
    }
    if (c == 0) return static_cast<int64_t>(mid);
    if (c < 0) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return -1;
}

bool KvScanView::SameKeys(const KvScanView& other) const {
  if (this == &other) return true;
  if (count_ != other.count_ || header_.keyBytesSize != other.header_.keyBytesSize) return false;
  return std::memcmp(keyOffsets_, other.keyOffsets_, (count_ + 1) * 8) == 0 &&
         std::memcmp(keyBytes_, other.keyBytes_, header_.keyBytesSize) == 0;
}

const unsigned char* KvScanView::TableBytes(size_t i, unsigned char* buffer, size_t* size) const {
  const int64_t odd = oddCount_ > 0 ? OddIndex(i) : -1;
  if (odd >= 0) {
    *size = OddSize(static_cast<size_t>(odd));
    return OddBytes(static_cast<size_t>(odd));
  }
  layout_->decode(Slot(i), buffer);
  *size = layout_->recordSize;
  return buffer;
}
