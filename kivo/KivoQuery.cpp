// Query evaluation for the kivo command, through the library's evaluator.
#include "KivoQuery.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "KivoFeatures.h"
#include "KivoFold.h"
#include "KivoKey.h"
#include "KivoPhoto.h"
#include "KivoSketch.h"
#include "KivoStore.h"
#include "KvFactory.h"
#include "data/KvGenericImageData.h"
#include "data/KvParameter.h"
#include "features/KvFeature.h"
#include "query/KvQuery.h"
#include "storage/KvCatalog.h"
#include "storage/KvCatalogUtil.h"
#include "storage/KvConnect.h"
#include "storage/KvKeyDatabase.h"

namespace kivo {
namespace {

constexpr const char* kTextFeature = "KvTextFeatureClass";

using kvcat::BorrowKey;
using kvcat::DatumText;

struct CatalogDeleter {
  void operator()(KvCatalogClass* c) const { delete c; }
};

}  // namespace

struct QueryEngine::State {
  std::unique_ptr<KvCatalogClass> catalog;
};

QueryEngine::QueryEngine(CatalogStore& store) : state_(std::make_unique<State>()), store_(store) {
  store_.GetMeta("root", &root_);
  if (store_.Connection() != nullptr) {
    state_->catalog.reset(store_.Connection()->NewCatalog());
    if (state_->catalog != nullptr && state_->catalog->Open(store_.CatalogName().c_str()) != 0) {
      state_->catalog.reset();
    }
  }
}

QueryEngine::~QueryEngine() = default;

std::string PathOfKey(const std::string& root, const std::string& key) {
  std::string relative;
  if (root.empty() || !DecodeKey(key, &relative)) return key;
  return root == "/" ? "/" + relative : root + "/" + relative;
}

std::string QueryEngine::PathOfKey(const std::string& key) const { return kivo::PathOfKey(root_, key); }

void QueryEngine::UseCatalog(std::unique_ptr<KvCatalogClass> catalog) { state_->catalog = std::move(catalog); }

std::vector<std::string> KeySpellings(const std::string& text, const std::string& root) {
  std::vector<std::string> tries = {text, EncodeKey(text)};
  if (!root.empty()) {
    char* real = realpath(text.c_str(), nullptr);
    if (real != nullptr) {
      std::string relative;
      if (RelativeTo(root, real, &relative) && !relative.empty()) tries.push_back(EncodeKey(relative));
      std::free(real);
    }
  }
  return tries;
}

bool QueryEngine::FindKey(const std::string& text, std::string* key) {
  KvCatalogClass* catalog = state_->catalog.get();
  if (catalog == nullptr || text.empty()) return false;
  for (const std::string& t : KeySpellings(text, root_)) {
    if (catalog->KeyExists(t.c_str()) == True) {
      *key = t;
      return true;
    }
  }
  return false;
}

namespace {

// The keys whose keyword text matches words, compared without regard to
// case, with the keyword feature's distances, into a new result set (owned
// by the caller). Null with error set on failure.
KvKeyDatabaseClass* KeywordMatches(const KvConnectClass* connection, KvCatalogClass* catalog,
                                   const std::string& words, std::string* error) {
  KvStringClass tableName(64ul);
  std::vector<std::string> names;
  KvDatumClass list;
  if (catalog->ListFeatures(list) == 0) names = kvcat::SplitWords(DatumText(list));
  if (std::find(names.begin(), names.end(), kTextFeature) == names.end() ||
      catalog->GetFeatureTableName(kTextFeature, tableName) != 0) {
    *error = std::string("catalog ") + catalog->GetName() + " has no keyword feature";
    return nullptr;
  }
  std::unique_ptr<KvFeatureClass> query(KvCreateFeatureClass(kTextFeature));
  std::unique_ptr<KvFeatureClass> holder(KvCreateFeatureClass(kTextFeature));
  KvGenericImageDataClass data;
  data.SetType(KV_DATA_PICKER);
  data.SetQuerySide(True);
  const std::string folded = FoldCase(words);
  if (query == nullptr || holder == nullptr || data.SetKeywordText(folded.c_str()) != 0 ||
      query->ComputeFeature(&data, query->GetParameters()) != 0) {
    *error = "cannot read the keywords: " + LibraryError();
    return nullptr;
  }
  kvcat::TableGuard table(connection->NewDatabase(), true);
  if (table.get() == nullptr || table.Open(tableName.c_str(), "r") != 0) {
    *error = "cannot open the keyword table: " + LibraryError();
    return nullptr;
  }
  std::vector<std::string> keys;
  std::vector<float> distances;
  {
    std::unique_ptr<KvDbIteratorClass> it(table->NewIterator());
    if (it == nullptr) {
      *error = "cannot walk the keyword table: " + LibraryError();
      return nullptr;
    }
    KvDatumClass key, bytes;
    while (it->HasCurrent()) {
      if (it->NextView(key, bytes) != 0) {
        *error = "cannot walk the keyword table: " + LibraryError();
        return nullptr;
      }
      std::string text = FoldCase(DatumText(bytes));
      if (text.empty()) continue;
      KvDatumClass stored;
      stored.SetBytes(text.size() + 1, reinterpret_cast<unsigned char*>(&text[0]), KvOwnNone);
      if (holder->FromByteString(stored) != 0) continue;
      const float d = query->Distance(holder.get(), nullptr, -1.0f);
      if (d < 0) continue;
      keys.push_back(DatumText(key));
      distances.push_back(d);
    }
  }
  std::unique_ptr<KvKeyDatabaseClass> set(connection->NewKeyDatabase());
  auto* memory = dynamic_cast<KvKeyMemoryDatabaseClass*>(set.get());
  if (memory == nullptr) {
    *error = "cannot make a result set: " + LibraryError();
    return nullptr;
  }
  std::vector<std::string_view> views(keys.begin(), keys.end());
  if (memory->InsertBatch(views.data(), distances.data(), views.size()) < 0) {
    *error = "cannot fill a result set: " + LibraryError();
    return nullptr;
  }
  return set.release();
}

// A new result set (owned by the caller) of the given keys and distances;
// null with error set on failure.
KvKeyDatabaseClass* CandidateSet(const KvConnectClass* connection, const std::vector<QueryHit>& hits,
                                 std::string* error) {
  std::unique_ptr<KvKeyDatabaseClass> set(connection->NewKeyDatabase());
  auto* memory = dynamic_cast<KvKeyMemoryDatabaseClass*>(set.get());
  if (memory == nullptr) {
    *error = "cannot make a result set: " + LibraryError();
    return nullptr;
  }
  std::vector<std::string_view> keys;
  std::vector<float> distances;
  for (const QueryHit& h : hits) {
    keys.emplace_back(h.key);
    distances.push_back(h.distance);
  }
  if (memory->InsertBatch(keys.data(), distances.data(), keys.size()) < 0) {
    *error = "cannot fill a result set: " + LibraryError();
    return nullptr;
  }
  return set.release();
}

void CollectHits(KvKeyDatabaseClass* set, int n, const QueryEngine& engine, QueryResult* result) {
  std::unique_ptr<KvDbIteratorClass> it(set->NewIterator());
  if (it == nullptr) return;
  KvDatumClass key, distance;
  while (it->HasCurrent() && static_cast<int>(result->hits.size()) < n) {
    if (it->NextView(key, distance) != 0) break;
    QueryHit hit;
    hit.rank = static_cast<int>(result->hits.size()) + 1;
    hit.key = DatumText(key);
    hit.path = engine.PathOfKey(hit.key);
    hit.distance = set->GetDistance(distance);
    result->hits.push_back(std::move(hit));
  }
}

}  // namespace

std::vector<std::string> ImageFeatureNames(const std::vector<std::string>& classes) {
  std::vector<std::string> names;
  for (const std::string& name : classes) {
    if (name == kTextFeature) continue;
    std::unique_ptr<KvFeatureClass> f(KvCreateFeatureClass(name.c_str()));
    if (f != nullptr && f->IsSubPartFeature() == False) names.push_back(name);
  }
  return names;
}

int QueryEngine::CatalogFeatures(std::vector<std::string>* names, std::string* error) {
  names->clear();
  std::vector<std::string> all;
  // Read through the engine's own catalog object: the store's is shared by
  // every engine over it (the server runs several at once), and a catalog
  // object walks its tables for one caller at a time.
  KvCatalogClass* catalog = state_->catalog.get();
  KvDatumClass list;
  if (catalog == nullptr || catalog->ListFeatures(list) != 0) {
    *error = "cannot list the features of catalog " + store_.CatalogName();
    return kQueryFailed;
  }
  all = kvcat::SplitWords(DatumText(list));
  *names = ImageFeatureNames(all);
  if (names->empty()) {
    *error = "catalog " + store_.CatalogName() + " has no image features";
    return kQueryBadRequest;
  }
  return kQueryOk;
}

int QueryEngine::Run(const QueryRequest& request, QueryResult* result, std::string* error) {
  return Run(request, QueryScope(), result, error);
}

int QueryEngine::Run(const QueryRequest& request, const QueryScope& scope, QueryResult* result,
                     std::string* error) {
  result->hits.clear();
  KvCatalogClass* catalog = state_->catalog.get();
  const KvConnectClass* connection = store_.Connection();
  if (catalog == nullptr || connection == nullptr) {
    *error = "no catalog is open";
    return kQueryFailed;
  }
  const int examples = !request.image.empty() + !request.key.empty() + !request.sketch.empty();
  if (examples > 1) {
    *error = "give one of an image, a key and a sketch";
    return kQueryBadRequest;
  }
  if (examples == 0 && request.keywords.empty()) {
    *error = "nothing to query: give an image, a key, keywords or a sketch";
    return kQueryBadRequest;
  }
  if (request.n < 1) {
    *error = "the number of results must be at least 1";
    return kQueryBadRequest;
  }

  // Features: the named ones (presets expanded); else the preset that the
  // catalog's image features cover, or those features at weight 1.
  std::vector<FeatureSpec> specs;
  if (examples > 0) {
    if (request.features.empty()) {
      std::vector<std::string> names;
      const int rc = CatalogFeatures(&names, error);
      if (rc != kQueryOk) return rc;
      const std::string preset = PresetForClasses(names);
      if (!preset.empty()) {
        if (!ExpandFeatureSpec(preset, &specs, error)) return kQueryFailed;
      } else {
        for (const std::string& name : names) specs.push_back(FeatureSpec{name, ""});
      }
    } else {
      for (const std::string& text : request.features) {
        if (!ExpandFeatureSpec(text, &specs, error)) return kQueryBadRequest;
      }
    }
  }
  std::vector<FeatureInstance> features(specs.size());
  for (size_t i = 0; i < specs.size(); ++i) {
    if (!MakeFeatureInstance(specs[i], &features[i], error)) return kQueryBadRequest;
  }

  // The example, as one data object per feature.
  std::vector<std::unique_ptr<KvGenericImageDataClass>> data;
  Photo photo;
  std::string description;
  std::string key;
  if (!request.image.empty()) {
    PhotoOptions options;
    options.orient = request.orient;
    bool notImage = false;
    std::string reason;
    if (!LoadPhoto(request.image, options, &photo, &reason, &notImage)) {
      *error = request.image + ": " + reason;
      return kQueryBadRequest;
    }
  } else if (!scope.key.empty()) {
    key = scope.key;
  } else if (!request.key.empty()) {
    if (!FindKey(request.key, &key)) {
      *error = "no key " + request.key + " in catalog " + store_.CatalogName();
      return kQueryBadRequest;
    }
  } else if (!request.sketch.empty()) {
    description = request.sketch;
    const size_t first = description.find_first_not_of(" \t\r\n");
    if (first != std::string::npos && description[first] == '{' &&
        !SketchToDescription(request.sketch, &description, error)) {
      return kQueryBadRequest;
    }
  }
  for (size_t i = 0; i < features.size(); ++i) {
    auto d = std::make_unique<KvGenericImageDataClass>();
    int rc = 0;
    if (!request.image.empty()) {
      rc = AttachPhoto(photo, d.get());
    } else if (!key.empty()) {
      d->SetType(KV_DATA_RECORD);
      const std::string& holder = scope.keyCatalog.empty() ? store_.CatalogName() : scope.keyCatalog;
      rc = d->SetCatalogName(holder.c_str()) != 0 || d->SetKey(key.c_str()) != 0 ? -1 : 0;
    } else {
      rc = d->ReadPickerImageDescriptionString(description.c_str(), False);
      if (rc != 0) {
        *error = "unusable sketch: " + LibraryError();
        return kQueryBadRequest;
      }
    }
    if (rc != 0) {
      *error = "cannot prepare the query: " + LibraryError();
      return kQueryFailed;
    }
    data.push_back(std::move(d));
  }

  std::unique_ptr<KvKeyDatabaseClass> restriction;
  if (scope.candidates != nullptr) {
    restriction.reset(CandidateSet(connection, *scope.candidates, error));
    if (restriction == nullptr) return kQueryFailed;
  } else if (!request.keywords.empty()) {
    restriction.reset(KeywordMatches(connection, catalog, request.keywords, error));
    if (restriction == nullptr) return kQueryFailed;
    if (features.empty()) {
      CollectHits(restriction.get(), request.n, *this, result);
      return kQueryOk;
    }
  }

  std::unique_ptr<KvQueryClass> object(KvCreateQueryClass("KvQueryServerClass"));
  auto* query = dynamic_cast<KvQueryServerClass*>(object.get());
  if (query == nullptr) {
    *error = "cannot make a query: " + LibraryError();
    return kQueryFailed;
  }
  std::vector<KvGenericDataClass*> dataPointers;
  std::vector<KvFeatureClass*> featurePointers;
  std::vector<KvParameterClass*> parameterPointers;
  for (size_t i = 0; i < features.size(); ++i) {
    dataPointers.push_back(data[i].get());
    featurePointers.push_back(features[i].feature.get());
    parameterPointers.push_back(features[i].parameters.get());
  }
  // The restriction set passes to the query object, which owns its results.
  KvKeyDatabaseClass* set =
      query->EvaluateObjects(static_cast<unsigned long>(request.n), catalog, restriction.release(), nullptr,
                             static_cast<int>(features.size()), dataPointers.data(), featurePointers.data(),
                             parameterPointers.data());
  if (set == nullptr || query->GetStatus() != 0) {
    *error = "the query failed: " + LibraryError();
    return kQueryFailed;
  }
  CollectHits(set, request.n, *this, result);
  return kQueryOk;
}

int RunQuery(const std::string& database, const std::string& catalog, const QueryRequest& request,
             QueryResult* result, std::string* error) {
  CatalogStore store;
  if (!store.Open(database, catalog, false, error)) return kQueryFailed;
  QueryEngine engine(store);
  return engine.Run(request, result, error);
}

}  // namespace kivo
