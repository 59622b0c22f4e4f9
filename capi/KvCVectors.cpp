// Feature vectors of a catalog: every stored byte string of one feature class
// decoded into a row of floats, for programs that feed other vector tools.
//
// Rows by class (byte strings are big-endian; the sub-part variants of a
// class store the same layout):
//   average colour   12 bytes: 3 x int32, each coordinate x 16384    -> 3 floats
//   colour histogram 516 bytes: 256 x int16 per mille, int32 self term
//                                                   -> 256 fractions (bin / 1000)
//   texture          16 bytes: int32 flags, 3 x int32 hundredths    -> 3 floats
//   sketch layout    int16 columns, int16 rows, one bin byte per cell
//                                                   -> columns x rows floats
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "kivo.h"

#include "KvCApiInternal.h"
#include "core/KvBytes.h"
#include "core/KvDatum.h"
#include "core/KvString.h"
#include "storage/KvCatalog.h"
#include "storage/KvConnect.h"

struct KivoVectors {
  std::vector<std::string> keys;
  std::vector<float> data;
  size_t dimension = 0;
};

namespace {

using kivocapi::Fail;

enum class Layout { kColour, kHistogram, kTexture, kLayout, kNone };

Layout LayoutOf(const std::string& name) {
  if (name == "KvColorFeatureClass" || name == "KvColorSubPartFeatureClass") return Layout::kColour;
  if (name == "KvColorHistogramFeatureClass" || name == "KvColorHistogramSubPartFeatureClass") {
    return Layout::kHistogram;
  }
  if (name == "KvTextureFeatureClass" || name == "KvTextureSubPartFeatureClass") return Layout::kTexture;
  if (name == "KvDrawFeatureClass") return Layout::kLayout;
  return Layout::kNone;
}

float Signed32(const unsigned char* p) { return static_cast<float>(static_cast<int32_t>(Load32BE(p))); }
float Signed16(const unsigned char* p) { return static_cast<float>(static_cast<int16_t>(Load16BE(p))); }

// Appends the row of one byte string; false when its size does not fit the
// layout (or, for the sketch layout, the grid of the rows before it).
bool AppendRow(Layout layout, const unsigned char* p, size_t size, KivoVectors* v) {
  switch (layout) {
    case Layout::kColour:
      if (size != 12) return false;
      for (int i = 0; i < 3; ++i) v->data.push_back(Signed32(p + 4 * i) / 16384.0f);
      v->dimension = 3;
      return true;
    case Layout::kHistogram:
      if (size != 516) return false;
      for (int i = 0; i < 256; ++i) v->data.push_back(Signed16(p + 2 * i) / 1000.0f);
      v->dimension = 256;
      return true;
    case Layout::kTexture:
      if (size != 16) return false;
      for (int i = 1; i < 4; ++i) v->data.push_back(Signed32(p + 4 * i) / 100.0f);
      v->dimension = 3;
      return true;
    case Layout::kLayout: {
      if (size < 4) return false;
      const int columns = static_cast<int16_t>(Load16BE(p));
      const int rows = static_cast<int16_t>(Load16BE(p + 2));
      if (columns <= 0 || rows <= 0 || size != 4 + static_cast<size_t>(columns) * static_cast<size_t>(rows)) {
        return false;
      }
      const size_t cells = static_cast<size_t>(columns) * static_cast<size_t>(rows);
      if (!v->keys.empty() && cells != v->dimension) return false;
      for (size_t i = 0; i < cells; ++i) v->data.push_back(static_cast<float>(p[4 + i]));
      v->dimension = cells;
      return true;
    }
    case Layout::kNone:
      break;
  }
  return false;
}

int ReadVectors(KivoCatalog* c, const char* feature, KivoVectors** out) {
  static const char* const kWhere = "kivo_feature_vectors";
  if (c == nullptr || feature == nullptr || out == nullptr) return Fail(kWhere, "no catalog, feature or output");
  *out = nullptr;
  const Layout layout = LayoutOf(feature);
  if (layout == Layout::kNone) return Fail(kWhere, (std::string("no vector form for ") + feature).c_str());
  KvCatalogClass* catalog = kivocapi::OpenCatalog(c);
  if (catalog == nullptr) return kivocapi::Failed(kWhere);

  KvDatumClass list;
  if (catalog->ListFeatures(list) != 0) return kivocapi::Failed(kWhere);
  const std::string names =
      " " + std::string(reinterpret_cast<const char*>(list.Data()), strnlen(reinterpret_cast<const char*>(list.Data()), list.Size())) + " ";
  if (names.find(std::string(" ") + feature + " ") == std::string::npos) {
    return Fail(kWhere, (std::string("the catalog has no feature class ") + feature).c_str());
  }
  KvStringClass tableName(64ul);
  if (catalog->GetFeatureTableName(feature, tableName) != 0) return kivocapi::Failed(kWhere);
  std::unique_ptr<KvDatabaseClass> table(kivocapi::Connection(c)->NewDatabase());
  if (table == nullptr || table->Open(tableName.c_str(), "r") != 0) return kivocapi::Failed(kWhere);
  std::unique_ptr<KvDbIteratorClass> it(table->NewIterator());
  if (it == nullptr) return kivocapi::Failed(kWhere);

  std::unique_ptr<KivoVectors> v(new KivoVectors());
  KvDatumClass key;
  KvDatumClass data;
  while (it->HasCurrent() && it->NextView(key, data) == 0) {
    const char* keyBytes = reinterpret_cast<const char*>(key.Data());
    std::string keyText(keyBytes != nullptr ? keyBytes : "", keyBytes != nullptr ? strnlen(keyBytes, key.Size()) : 0);
    if (!AppendRow(layout, data.Data(), data.Size(), v.get())) {
      return Fail(kWhere, ("the record of " + keyText + " does not decode as " + feature).c_str());
    }
    v->keys.push_back(std::move(keyText));
  }
  it.reset();
  table->Close();
  if (v->keys.empty()) v->dimension = layout == Layout::kHistogram ? 256 : layout == Layout::kLayout ? 0 : 3;
  *out = v.release();
  return 0;
}

}  // namespace

extern "C" {

int kivo_feature_vectors(KivoCatalog* catalog, const char* feature, KivoVectors** vectors) {
  return kivocapi::Guard("kivo_feature_vectors", [&]() -> int { return ReadVectors(catalog, feature, vectors); });
}

size_t kivo_vectors_count(const KivoVectors* vectors) { return vectors != nullptr ? vectors->keys.size() : 0; }

size_t kivo_vectors_dimension(const KivoVectors* vectors) { return vectors != nullptr ? vectors->dimension : 0; }

const char* kivo_vectors_key(const KivoVectors* vectors, size_t i) {
  return vectors != nullptr && i < vectors->keys.size() ? vectors->keys[i].c_str() : nullptr;
}

const float* kivo_vectors_data(const KivoVectors* vectors) {
  return vectors != nullptr && !vectors->data.empty() ? vectors->data.data() : nullptr;
}

void kivo_vectors_free(KivoVectors* vectors) { delete vectors; }

}  // extern "C"
