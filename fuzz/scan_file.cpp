// Scan files as a reader meets them: the header decoded from the bytes, then
// the file mapped as a view and every record, key and odd record read the
// way searches read them. A file the reader takes must be usable in full;
// one it refuses must say why. When byte 448 (in the header's zero area) is
// 'F' the header checksum is set right first, so that inputs reach the
// checks behind it.
#include <cstring>
#include <string>
#include <vector>

#include "FuzzUtil.h"
#include "scan/KvScanFormat.h"
#include "scan/KvScanLayouts.h"
#include "scan/KvScanView.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<unsigned char> bytes(data, data + size);
  constexpr size_t kChecksumAt = 440;
  if (size >= kKvScanHeaderSize && bytes[448] == 'F') {
    const uint64_t sum = KvScanChecksum(bytes.data(), kChecksumAt);
    std::memcpy(&bytes[kChecksumAt], &sum, sizeof sum);
  }
  KvScanHeader header;
  std::string why;
  const bool decoded = KvScanDecodeHeader(bytes.data(), bytes.size(), bytes.size(), &header, &why);
  if (!decoded && why.empty()) __builtin_trap();

  const std::string path = kvfuzz::WriteScratchFile("table.scan", bytes.data(), bytes.size());
  why.clear();
  std::shared_ptr<KvScanView> view = KvScanView::Map(path, &why);
  if (view == nullptr) {
    if (why.empty()) __builtin_trap();
    return 0;
  }
  if (!decoded) __builtin_trap();  // the view takes only what the header check takes
  const KvScanLayout* layout = KvScanLayoutById(view->Layout());
  if (layout == nullptr || view->Stride() != layout->stride) __builtin_trap();
  std::vector<unsigned char> record(layout->recordSize);
  uint64_t sum = 0;
  for (size_t i = 0; i < view->Count(); ++i) {
    const char* key = view->Key(i);
    const size_t keySize = view->KeySize(i);
    const int64_t found = view->Find(key, keySize);
    if (found >= static_cast<int64_t>(view->Count())) __builtin_trap();
    size_t recordSize = 0;
    const unsigned char* table = view->TableBytes(i, record.data(), &recordSize);
    const int64_t odd = view->OddIndex(i);
    if (odd < 0 && recordSize != layout->recordSize) __builtin_trap();
    if (odd >= 0 && recordSize != view->OddSize(static_cast<size_t>(odd))) __builtin_trap();
    for (size_t k = 0; k < recordSize; ++k) sum += table[k];
    for (size_t k = 0; k < keySize; ++k) sum += static_cast<unsigned char>(key[k]);
    sum += view->Slot(i)[view->Stride() - 1];
  }
  if (!view->SameKeys(*view)) __builtin_trap();
  if (sum == 1) std::printf(" ");  // keeps the reads
  return 0;
}
