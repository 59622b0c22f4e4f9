// Stored records of the texture, draw and keyword features, and the texture
// feature's global information, as they come back from a damaged catalog.
#include <cstring>
#include <vector>

#include "FuzzUtil.h"
#include "data/KvParameter.h"
#include "features/KvDrawFeature.h"
#include "features/KvTextFeature.h"
#include "features/KvTextureFeature.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  KvDatumClass in;
  kvfuzz::Load(in, data, size);

  // Texture: the record, and the input as the text of a global information
  // block (cut or padded to 260 bytes).
  KvTextureFeatureClass texture;
  texture.FromByteString(in);
  std::vector<unsigned char> block(kKvTextureGlobalInfoSize, 0);
  std::memcpy(block.data(), data, size < block.size() ? size : block.size());
  KvDatumClass info;
  info.SetBytes(block.size(), block.data(), KvOwnNone);
  KvParameterClass parms;
  texture.ParameterUpdateFromGlobalInfo(&parms, info);
  texture.Distance(&texture, &parms, -1.0f);
  texture.UpdateGlobalInfo(info, 0);
  texture.UpdateGlobalInfo(info, 1);

  // Draw: the record against a query with one painted cell, and as a query.
  KvDrawFeatureClass stored;
  if (stored.FromByteString(in) == 0) {
    KvDrawFeatureClass query;
    for (int i = 0; i < kKvDrawMaxCells; ++i) query.SetCell(i / kKvDrawColumns, i % kKvDrawColumns, -1);
    query.SetCell(4, 6, 17);
    KvParameterClass drawParms;
    drawParms.SetParameter("MaxOffset", "2");
    drawParms.SetParameter("Halo", "T");
    query.Distance(&stored, &drawParms, -1.0f);
    stored.PostProcessQueryFeatures(&drawParms);
    stored.Distance(&query, &drawParms, -1.0f);
    KvDatumClass text;
    stored.ToAsciiString(text);
  }

  // Keywords: the record against a two-word query.
  KvTextFeatureClass keywords;
  if (keywords.FromByteString(in) == 0) {
    KvTextFeatureClass query;
    KvDatumClass words;
    words.CopyBytes("red car\0", 8, "fuzz");
    query.FromByteString(words);
    query.Distance(&keywords, nullptr, -1.0f);
  }
  return 0;
}
