// Image query-string payloads: writing and reading a 1024 x 768 image with a
// hex mask, against the general string helpers (KvStringClass::EncodeBuffer
// and a framed copy; KvDecodeHex) doing the same planes in the same run. Also the 8-bit
// thumbnail reduction of a 4000 x 3000 raster.
#include <malloc.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "core/KvError.h"
#include "core/KvString.h"
#include "data/KvGenericImageData.h"
#include "image/KvImage.h"
#include "image/KvThumbnail.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main() {
  // Keep freed buffers in the process so that both sides measure encoding
  // work, not the kernel mapping fresh pages for every multi-megabyte buffer.
  mallopt(M_MMAP_THRESHOLD, 256 << 20);
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  const int w = 1024, h = 768, rounds = 20;
  const size_t n = static_cast<size_t>(w) * h;
  auto* index = static_cast<unsigned char*>(KvNew(n, "bench", KERR_Fatal));
  auto* lut = static_cast<unsigned char*>(KvNew(768, "bench", KERR_Fatal));
  auto* mask = static_cast<unsigned char*>(KvNew(n, "bench", KERR_Fatal));
  for (size_t i = 0; i < n; ++i) {
    index[i] = static_cast<unsigned char>(i * 31 + i / 7);
    mask[i] = (i % 1000) < 100 ? 0 : 0xFF;
  }
  for (int i = 0; i < 768; ++i) lut[i] = static_cast<unsigned char>(i);
  KvGenericImageDataClass image;
  image.GetImageDataFromMemory(w, h, index, lut, mask, True, True);

  // Writing: the object's payload and frame, against the string helper
  // encoding the same three planes.
  KvDatumClass text;
  auto start = Clock::now();
  for (int r = 0; r < rounds; ++r) {
    // Release the last round's text first, as a caller writing one query
    // string at a time does.
    text.Clear();
    image.GetDataDatum().Clear();
    image.ToQueryString(text);
  }
  const double write = Seconds(start) / rounds;
  start = Clock::now();
  size_t baselineLength = 0;
  for (int r = 0; r < rounds; ++r) {
    KvStringClass s(static_cast<unsigned long>(n * 4 + 2000));
    s.AppendFormat("xsize= %d ysize= %d subPart= 1 mask= ", w, h);
    s.EncodeBuffer(mask, n);
    s.Append(" lut= ");
    s.EncodeBuffer(lut, 768);
    s.Append(" image= ");
    s.EncodeBuffer(index, n);
    s.Append(" ");
    baselineLength = s.GetLength();
    // The frame around the payload is a second copy, as the object makes.
    KvDatumClass framed;
    framed.CopyBytes(s.c_str(), s.GetLength() + 16, "bench");
  }
  const double writeBase = Seconds(start) / rounds;

  // Reading: the object's parser against KvDecodeHex on the same planes.
  KvGenericImageDataClass back;
  start = Clock::now();
  int failures = 0;
  for (int r = 0; r < rounds; ++r) failures += back.FromQueryString(text, "bench") != 0;
  const double read = Seconds(start) / rounds;
  const char* payload = reinterpret_cast<const char*>(image.GetDataDatum().Data());
  const char* maskHex = std::strstr(payload, "mask= ") + 6;
  const char* imageHex = std::strstr(payload, "image= ") + 7;
  std::vector<unsigned char> plane(n);
  start = Clock::now();
  for (int r = 0; r < rounds; ++r) {
    KvDecodeHex(maskHex, 2 * n, plane.data(), n, nullptr, nullptr);
    KvDecodeHex(imageHex, 2 * n, plane.data(), n, nullptr, nullptr);
  }
  const double readBase = Seconds(start) / rounds;

  std::printf("payload of %dx%d image: %lu bytes (baseline text %zu bytes)\n", w, h, text.Size(), baselineLength);
  std::printf("write: %8.2f ms   baseline EncodeBuffer: %8.2f ms   (x%.2f)\n", write * 1e3, writeBase * 1e3,
              writeBase / write);
  std::printf("read:  %8.2f ms   baseline KvDecodeHex:  %8.2f ms   (x%.2f)%s\n", read * 1e3, readBase * 1e3,
              readBase / read, failures != 0 ? "  READ FAILED" : "");

  // Thumbnail reduction of a large raster, with a plain copy of the same
  // bytes as the memory-bandwidth floor.
  const int sw = 4000, sh = 3000;
  std::vector<unsigned char> big(static_cast<size_t>(sw) * sh), copy(big.size());
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<unsigned char>(i * 13 + i / 4000);
  ImpImage source = {IMP_BYTE, 28, static_cast<uint32_t>(big.size()), big.data(), sw, sh, sw * sh};
  std::vector<unsigned char> small(100 * 75);
  ImpImage thumb = {IMP_BYTE, 28, static_cast<uint32_t>(small.size()), small.data(), 100, 75, 7500};
  start = Clock::now();
  for (int r = 0; r < 5; ++r) KvReduceAndDither(source, lut, thumb);
  const double reduce = Seconds(start) / 5;
  start = Clock::now();
  for (int r = 0; r < 5; ++r) std::memcpy(copy.data(), big.data(), big.size());
  const double memcopy = Seconds(start) / 5;
  std::printf("thumbnail 4000x3000 -> 100x75: %8.2f ms   (memcpy of the source: %.2f ms)\n", reduce * 1e3,
              memcopy * 1e3);
  return 0;
}
