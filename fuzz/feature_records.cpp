// Stored feature records of every feature class (sub-part variants and the
// keyword feature included), and global information blocks, as they come
// back from a damaged catalog. Each class decodes the input as it is (a wrong
// size is refused) and the input cut or padded to its size; what decodes
// encodes back to the same bytes and is compared with a fixed query feature
// both ways, under parameters updated from the input read as the class's
// global information.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "FuzzUtil.h"
#include "data/KvGenericImageData.h"
#include "data/KvParameter.h"
#include "features/KvDrawFeature.h"
#include "features/KvFeature.h"

namespace {

struct Family {
  const char* name;
  std::unique_ptr<KvFeatureClass> query;  // computed once from a fixed image
};

// Query features of every class, computed from a 16 x 16 image of four
// colours (keywords "red car") on the query side, as evaluation makes them.
std::vector<Family>& Families() {
  static std::vector<Family> families = [] {
    std::vector<Family> out;
    static KvGenericImageDataClass image;
    if (!kvfuzz::detail::MakeQuadrants(image, false) || image.SetKeywordText("red car") != 0) std::abort();
    image.SetQuerySide(True);
    for (const char** name = KvListAllAvailableFeatures(); *name != nullptr; ++name) {
      std::unique_ptr<KvFeatureClass> query(KvCreateFeatureClass(*name));
      if (!query || query->ComputeFeature(&image, query->GetParameters()) != 0) std::abort();
      out.push_back({*name, std::move(query)});
    }
    return out;
  }();
  return families;
}

void CheckDistance(float d) {
  // Non-negative, or -1.0 for a failure; never NaN.
  if (std::isnan(d) || (d < 0.0f && d != -1.0f)) __builtin_trap();
}

// reverse: also use the record as the query side (as a query by a stored key
// does); that costs a histogram its whole quadratic form, so it is done for
// the input as it is only.
void Exercise(Family& family, const KvDatumClass& record, const KvDatumClass& info, bool reverse) {
  std::unique_ptr<KvFeatureClass> stored(KvCreateFeatureClass(family.name));
  if (!stored) __builtin_trap();
  const unsigned long fixed = stored->GetByteStringSize();
  const int decoded = stored->FromByteString(record);
  // A wrong size is refused (the sketch layout also checks its grid header).
  if (fixed != 0 && record.Size() != fixed && decoded == 0) __builtin_trap();
  if (decoded != 0) return;

  KvDatumClass encoded;
  if (stored->ToByteString(encoded) != 0) __builtin_trap();
  if (fixed != 0 && (encoded.Size() != fixed || std::memcmp(encoded.Data(), record.Data(), fixed) != 0)) {
    __builtin_trap();
  }
  KvDatumClass text;
  stored->ToAsciiString(text);

  KvParameterClass parms;
  parms = *stored->GetParameters();
  if (std::strcmp(family.name, "KvDrawFeatureClass") == 0) {
    parms.SetParameter("MaxOffset", "2");
    parms.SetParameter("Halo", "T");
  }
  // The descriptor features' normalisation and mirrored comparison; other
  // classes ignore the names.
  parms.SetParameter("Z", "1");
  parms.SetParameter("Mirror", "T");
  stored->ParameterUpdateFromGlobalInfo(&parms, info);
  CheckDistance(family.query->Distance(stored.get(), &parms, -1.0f));
  if (reverse) CheckDistance(stored->Distance(family.query.get(), &parms, -1.0f));
  if (reverse && std::strcmp(family.name, "KvDrawFeatureClass") == 0) {
    // A stored sketch read as a query.
    auto* draw = static_cast<KvDrawFeatureClass*>(stored.get());
    draw->PostProcessQueryFeatures(&parms);
    CheckDistance(draw->Distance(family.query.get(), &parms, -1.0f));
  }

  // The record added to and removed from a copy of the information block.
  std::vector<unsigned char> block(info.Data(), info.Data() + info.Size());
  KvDatumClass counters;
  counters.SetBytes(block.size(), block.data(), KvOwnNone);
  stored->UpdateGlobalInfo(counters, KV_GLOBAL_ADD_RECORD);
  stored->UpdateGlobalInfo(counters, KV_GLOBAL_REMOVE_RECORD);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  KvDatumClass in;
  kvfuzz::Load(in, data, size);
  for (Family& family : Families()) {
    // The input as the class's global information block (cut or padded).
    std::unique_ptr<KvFeatureClass> probe(KvCreateFeatureClass(family.name));
    const size_t infoSize = probe->GetGlobalInfoSize();
    std::vector<unsigned char> block(infoSize, 0);
    std::memcpy(block.data(), data, std::min(size, infoSize));
    KvDatumClass info;
    info.SetBytes(block.size(), block.data(), KvOwnNone);

    Exercise(family, in, info, true);
    const unsigned long fixed = probe->GetByteStringSize();
    if (fixed != 0 && fixed != size) {
      std::vector<unsigned char> fitted(fixed, 0);
      std::memcpy(fitted.data(), data, std::min<size_t>(size, fixed));
      KvDatumClass record;
      record.SetBytes(fitted.size(), fitted.data(), KvOwnNone);
      Exercise(family, record, info, false);
    }
  }
  return 0;
}
