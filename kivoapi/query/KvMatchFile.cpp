// Query texts from match files.
#include "query/KvMatchFile.h"
#include "core/KvRegularFile.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "KvFactory.h"
#include "core/KvBytes.h"
#include "core/KvError.h"
#include "data/KvGenericImageData.h"
#include "data/KvParameter.h"
#include "features/KvColorSpace.h"
#include "features/KvFeature.h"
#include "query/KvQuery.h"

namespace {

constexpr int kMaxQuerySlots = 6;
constexpr int kMaxSceneSlots = 64;
constexpr uint32_t kMaxUnusedBlock = 16u << 20;
constexpr uint32_t kDrawSize = kKvDrawWidth * kKvDrawHeight;
const char* const kAllocTag = "KvCvtQry:readQueryObjectsSceneNoX";

struct Slot {
  bool used = false;
  int32_t source = 0;
  float weight = 0.0f;
};

struct MatchObject {
  bool query = false;
  std::vector<Slot> slots;
  std::vector<unsigned char> picture;
  unsigned char background = 0;
  KvMatchColor color{0, 0, 0};
  KvMatchColorMix mix[5];
  std::string names[6];
};

// Reads little-endian fields from a file, failing once anything is short.
class Reader {
 public:
  explicit Reader(FILE* file) : file_(file) {}

  bool Bytes(void* out, size_t n) {
    if (!ok_) return false;
    if (n > 0 && std::fread(out, 1, n, file_) != n) ok_ = false;
    return ok_;
  }
  bool Skip(size_t n) {
    unsigned char buffer[4096];
    while (ok_ && n > 0) {
      const size_t step = std::min(n, sizeof buffer);
      Bytes(buffer, step);
      n -= step;
    }
    return ok_;
  }
  bool I16(int16_t* out) {
    unsigned char b[2];
    uint16_t v = 0;
    if (!Bytes(b, 2) || !Decode16LE(b, b + 2, &v)) return false;
    *out = static_cast<int16_t>(v);
    return true;
  }
  bool U16(uint16_t* out) {
    unsigned char b[2];
    return Bytes(b, 2) && Decode16LE(b, b + 2, out);
  }
  bool I32(int32_t* out) {
    unsigned char b[4];
    uint32_t v = 0;
    if (!Bytes(b, 4) || !Decode32LE(b, b + 4, &v)) return false;
    *out = static_cast<int32_t>(v);
    return true;
  }
  bool F32(float* out) {
    unsigned char b[4];
    uint32_t v = 0;
    if (!Bytes(b, 4) || !Decode32LE(b, b + 4, &v)) return false;
    std::memcpy(out, &v, 4);
    return true;
  }
  // A length-prefixed block no longer than limit.
  bool Block(uint32_t limit, std::vector<unsigned char>* out) {
    int32_t n = 0;
    if (!I32(&n) || n < 0 || static_cast<uint32_t>(n) > limit) return ok_ = false;
    if (out == nullptr) return Skip(static_cast<size_t>(n));
    out->resize(static_cast<size_t>(n));
    return Bytes(out->data(), out->size());
  }
  bool Name(uint32_t limit, std::string* out) {
    std::vector<unsigned char> bytes;
    if (!Block(limit, &bytes)) return false;
    out->assign(bytes.begin(), bytes.end());
    const size_t nul = out->find('\0');
    if (nul != std::string::npos) out->resize(nul);
    return true;
  }
  bool AtEnd() {
    const int c = std::fgetc(file_);
    if (c == EOF) return true;
    std::ungetc(c, file_);
    return false;
  }
  bool ok() const { return ok_; }

 private:
  FILE* file_;
  bool ok_ = true;
};

bool ReadRecord(Reader& in, int sceneSlots, int querySlots, MatchObject* object) {
  int32_t unused[2];
  int16_t kind = 0;
  if (!in.I32(&unused[0]) || !in.I32(&unused[1]) || !in.I16(&kind)) return false;
  object->query = kind == 0;
  const int count = object->query ? querySlots : sceneSlots;
  object->slots.resize(static_cast<size_t>(count));
  for (Slot& slot : object->slots) {
    int16_t used = 0;
    if (!in.I16(&used) || !in.Skip(2) || !in.I32(&slot.source) || !in.F32(&slot.weight)) return false;
    slot.used = used != 0;
    // A weight that is not a finite number would make every distance of the
    // query meaningless.
    if (object->query && slot.used && !std::isfinite(slot.weight)) return false;
  }
  if (object->query) {
    if (!in.Block(kMaxUnusedBlock, nullptr) || !in.Block(kDrawSize, &object->picture) ||
        !in.Bytes(&object->background, 1)) {
      return false;
    }
  } else if (!in.Skip(12)) {
    return false;
  }
  int16_t unusedShort = 0;
  if (!in.I16(&unusedShort) || !in.U16(&object->color.red) || !in.U16(&object->color.green) ||
      !in.U16(&object->color.blue)) {
    return false;
  }
  for (KvMatchColorMix& entry : object->mix) {
    if (!in.I16(&entry.index) || !in.Skip(2) || !in.F32(&entry.fraction)) return false;
  }
  unsigned char oneByte = 0;
  if (!in.Block(kMaxUnusedBlock, nullptr) || !in.Block(kMaxUnusedBlock, nullptr) || !in.Bytes(&oneByte, 1) ||
      !in.Block(kMaxUnusedBlock, nullptr)) {
    return false;
  }
  for (int i = 0; i < 6; ++i) {
    if (!in.Name(i == 5 ? 640 : 128, &object->names[i])) return false;
  }
  return true;
}

// Reads the whole file; the last query object read goes to *query.
int ReadMatchFile(FILE* file, MatchObject* query, bool* haveQuery) {
  *haveQuery = false;
  if (file == nullptr) {
    KvError(KERR_NullFile, KERR_Fatal, "in readQueryObjectsScenesNoX", "KvCvtQry");
    return -1;
  }
  Reader in(file);
  int32_t scenes = 0, queries = 0;
  if (!in.I32(&scenes) || !in.I32(&queries) || scenes < 0 || scenes > kMaxSceneSlots || queries < 0 ||
      queries > kMaxQuerySlots) {
    KvError(KERR_General, KERR_NonFatal, "KvCvtQry: match file header is malformed");
    return -1;
  }
  try {
    while (!in.AtEnd()) {
      MatchObject object;
      if (!ReadRecord(in, scenes, queries, &object)) {
        KvError(KERR_General, KERR_NonFatal, "KvCvtQry: match file is truncated or malformed");
        return -1;
      }
      if (object.query) {
        *query = std::move(object);
        *haveQuery = true;
      }
    }
  } catch (const std::bad_alloc&) {
    KvError(KERR_Alloc, KERR_Fatal, -1, kAllocTag);
    return -1;
  }
  return 0;
}

// Owned planes for a synthetic image; released unless handed to the object.
struct Planes {
  unsigned char* pixels = nullptr;
  unsigned char* palette = nullptr;
  unsigned char* mask = nullptr;
  ~Planes() {
    KvDelete(pixels);
    KvDelete(palette);
    KvDelete(mask);
  }
  bool Allocate(size_t count, const char* tag) {
    pixels = static_cast<unsigned char*>(KvCNew(count, 1, tag, KERR_Fatal));
    palette = pixels != nullptr ? static_cast<unsigned char*>(KvCNew(768, 1, tag, KERR_Fatal)) : nullptr;
    mask = palette != nullptr ? static_cast<unsigned char*>(KvCNew(count, 1, tag, KERR_Fatal)) : nullptr;
    return mask != nullptr;
  }
  int HandTo(KvGenericImageDataClass* data, unsigned long width, unsigned long height) {
    const int rc = data->GetImageDataFromMemory(width, height, pixels, palette, mask, False, True);
    if (rc == 0) pixels = palette = mask = nullptr;
    return rc == 0 ? 0 : -1;
  }
};

// The sketch slot (5) has no class of its own: a sketch is a drawn layout,
// so the slot is measured by the draw feature, from the sketch's image file
// or, drawn, from the drawn picture.
const char* const kSlotClasses[kMaxQuerySlots] = {
    "KvColorFeatureClass", "KvColorHistogramFeatureClass", "KvTextureFeatureClass", nullptr,
    "KvDrawFeatureClass",  "KvDrawFeatureClass"};
constexpr size_t kDrawSlot = 4;
constexpr size_t kSketchSlot = 5;
// Which of the six stored names is the image file of each slot.
const int kSlotNames[kMaxQuerySlots] = {0, 1, 2, -1, 5, 3};

}  // namespace

int KvMakeGenImageFromColor(KvGenericImageDataClass* data, const KvMatchColor& color) {
  if (data == nullptr) return -1;
  Planes planes;
  if (!planes.Allocate(1, "KvCvtQry:KvMakeGenImageFromColor")) return -1;
  planes.palette[0] = static_cast<unsigned char>(color.red >> 8);
  planes.palette[256] = static_cast<unsigned char>(color.green >> 8);
  planes.palette[512] = static_cast<unsigned char>(color.blue >> 8);
  planes.pixels[0] = 0;
  planes.mask[0] = 255;
  return planes.HandTo(data, 1, 1);
}

int KvMakeGenImageFromHistColor(KvGenericImageDataClass* data, const KvMatchColorMix mix[5]) {
  if (data == nullptr || mix == nullptr || KvColorInitialize() != 0) return -1;
  const unsigned char* lut = KvGetRGBHistogramLut();
  if (lut == nullptr) return -1;
  constexpr int kPixels = 100;
  Planes planes;
  if (!planes.Allocate(kPixels, "KvCvtQry:KvMakeGenImageFromHistColor")) return -1;
  std::memcpy(planes.palette, lut, 768);
  int next = 0;
  for (int e = 0; e < 5; ++e) {
    if (mix[e].index == -1) continue;
    const double share = static_cast<double>(mix[e].fraction) * 100.0;
    // Fractions add up to at most 1; a larger or malformed share is cut at
    // the end of the column.
    int n = std::isfinite(share) && share > 0.0 ? static_cast<int>(std::min(share, 100.0)) : 0;
    n = std::min(n, kPixels - next);
    for (int i = 0; i < n; ++i) {
      planes.pixels[next + i] = static_cast<unsigned char>(mix[e].index & 0xFF);
      planes.mask[next + i] = 255;
    }
    next += n;
  }
  return planes.HandTo(data, 1, kPixels);
}

int KvMakeGenImageFromDrawColor(KvGenericImageDataClass* data, const unsigned char* picture,
                                unsigned char background) {
  if (data == nullptr || picture == nullptr || KvColorInitialize() != 0) return -1;
  const unsigned char* lut = KvGetRGBHistogramLut();
  if (lut == nullptr) return -1;
  Planes planes;
  if (!planes.Allocate(kDrawSize, "KvCvtQry:KvMakeGenImageFromDrawColor")) return -1;
  std::memcpy(planes.palette, lut, 768);
  for (uint32_t i = 0; i < kDrawSize; ++i) {
    const bool drawn = picture[i] != background;
    planes.pixels[i] = drawn ? picture[i] : background;
    planes.mask[i] = drawn ? 255 : 0;
  }
  return planes.HandTo(data, kKvDrawWidth, kKvDrawHeight);
}

int readQueryObjectsScenesNoX(FILE* file) {
  MatchObject query;
  bool haveQuery = false;
  return ReadMatchFile(file, &query, &haveQuery);
}

namespace {

int ConvertMatchFile(const char* matchFile, KvDatumClass& out, const char* catalogName, int maxResults) {
  FILE* file = matchFile != nullptr ? KvOpenRegularFile(matchFile, "rb") : nullptr;
  if (file == nullptr) {
    std::fprintf(stderr, "Error: File %s cannot be found.", matchFile != nullptr ? matchFile : "(null)");
    KvError(KERR_OpenFile, KERR_NonFatal, "KvCvtQry", matchFile != nullptr ? matchFile : "(null)");
    return -1;
  }
  MatchObject query;
  bool haveQuery = false;
  const int rc = ReadMatchFile(file, &query, &haveQuery);
  std::fclose(file);
  if (rc != 0) return rc;
  if (!haveQuery) {
    KvError(KERR_General, KERR_NonFatal, "KvCvtQry: match file holds no query object");
    return -1;
  }

  std::vector<std::unique_ptr<KvParameterClass>> parameters;
  std::vector<std::unique_ptr<KvGenericImageDataClass>> images;
  std::vector<const char*> names;
  for (size_t slot = 0; slot < query.slots.size(); ++slot) {
    if (!query.slots[slot].used) continue;
    const char* className = kSlotClasses[slot];
    std::unique_ptr<KvFeatureClass> feature(className != nullptr ? KvCreateFeatureClass(className) : nullptr);
    if (feature == nullptr) {
      if (className == nullptr) {
        KvError(KERR_General, KERR_NonFatal, "KvCvtQry: match file uses an unused feature slot");
      }
      return -1;
    }
    auto parms = std::make_unique<KvParameterClass>();
    *parms = *feature->GetParameters();
    parms->SetW(query.slots[slot].weight);
    if (!parms->IsValid()) return -1;
    auto image = std::make_unique<KvGenericImageDataClass>();
    int made = 0;
    if (query.slots[slot].source == 1) {
      made = image->ReadImageDataFromFile(query.names[kSlotNames[slot]].c_str(), nullptr, False);
    } else if (slot == 0) {
      made = KvMakeGenImageFromColor(image.get(), query.color);
    } else if (slot == 1) {
      made = KvMakeGenImageFromHistColor(image.get(), query.mix);
    } else if (slot == kDrawSlot || slot == kSketchSlot) {
      if (query.picture.size() != kDrawSize) {
        KvError(KERR_General, KERR_NonFatal, "KvCvtQry: drawn picture has the wrong size");
        return -1;
      }
      made = KvMakeGenImageFromDrawColor(image.get(), query.picture.data(), query.background);
    } else {
      // Texture has nothing to draw from: its term carries an empty picture.
      made = image->ReadPickerImageDescriptionString("", False);
    }
    if (made != 0) return made;
    names.push_back(className);
    parameters.push_back(std::move(parms));
    images.push_back(std::move(image));
  }

  std::vector<KvParameterClass*> parmPointers;
  std::vector<KvGenericDataClass*> dataPointers;
  for (auto& p : parameters) parmPointers.push_back(p.get());
  for (auto& d : images) dataPointers.push_back(d.get());
  return KvBuildQueryString(maxResults, catalogName, nullptr, nullptr, static_cast<int>(names.size()),
                            names.data(), parmPointers.data(), dataPointers.data(), out);
}

}  // namespace

int KvConvertQueryFromMatchFile(const char* reserved, const char* matchFile, KvDatumClass& out,
                                const char* catalogName, int maxResults) {
  (void)reserved;
  try {
    return ConvertMatchFile(matchFile, out, catalogName, maxResults);
  } catch (const std::bad_alloc&) {
    KvError(KERR_Alloc, KERR_Fatal, -1, "KvCvtQry:KvConvertQueryFromMatchFile");
    return -1;
  }
}
