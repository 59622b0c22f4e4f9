// The C interface: catalogs, images and queries over the command library's
// KivoWrapClass, the same code the tools and the Tcl shell run, so a query
// here ranks exactly as KvQBE does.
#include "kivo.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "KivoWrap.h"
#include "KvCApiInternal.h"
#include "core/KvError.h"
#include "core/KvVersion.h"
#include "storage/KvCatalog.h"

struct KivoCatalog {
  KivoWrapClass wrap;
  std::string database;
  std::string catalog;
};

struct KivoResults {
  std::vector<std::pair<std::string, float>> entries;
};

namespace kivocapi {

int Fail(const char* where, const char* what) {
  const std::string text = std::string(where) + ": " + what;
  KvError(KERR_General, KERR_Fatal, text.c_str());
  return -1;
}

int Failed(const char* where) {
  // A callee that failed without a message still leaves a reason.
  if (GetErrorMSG()[0] == '\0') return Fail(where, "failed");
  return -1;
}

}  // namespace kivocapi

using kivocapi::Fail;
using kivocapi::Failed;
using kivocapi::Guard;

namespace {

// The catalog's whole-image classes other than the keyword class: what a
// query by example compares when the caller names none.
bool CatalogQueryFeatures(KivoCatalog* c, std::vector<std::string>* out) {
  char* list = c->wrap.ListCatFeatures();
  if (list == nullptr) return false;
  std::string names(list);
  KvDelete(list);
  for (size_t at = 0; at < names.size();) {
    size_t blank = names.find(' ', at);
    if (blank == std::string::npos) blank = names.size();
    const std::string name = names.substr(at, blank - at);
    if (!name.empty() && name != "KvTextFeatureClass" && name.find("SubPart") == std::string::npos) {
      out->push_back(name);
    }
    at = blank + 1;
  }
  return true;
}

enum class Example { kImage, kKey, kSketch, kNone };

// One query on a fresh read-only object over the catalog: its feature list
// is the query's own, so naming classes never registers them in a catalog
// opened for writing.
int RunQuery(const char* where, KivoCatalog* c, Example kind, const char* example, const char* const* features,
             const double* weights, size_t count, const char* keywords, size_t n, KivoResults** results) {
  if (c == nullptr || results == nullptr) return Fail(where, "no catalog or no place for the results");
  *results = nullptr;
  if (kind != Example::kNone && example == nullptr) return Fail(where, "no example");
  if (count > 0 && features == nullptr) return Fail(where, "no feature names");
  if (count > static_cast<size_t>(kKivoMaxFeatures)) return Fail(where, "too many feature classes");
  if (n > 2147483647u) n = 2147483647u;
  if (keywords != nullptr && std::strlen(keywords) >= 128) return Fail(where, "keywords longer than 127 bytes");

  c->wrap.Resume();
  std::vector<std::string> specs;
  for (size_t i = 0; i < count; ++i) {
    if (features[i] == nullptr) return Fail(where, "a feature name is null");
    std::string spec(features[i]);
    if (weights != nullptr) {
      // The weight goes first: the named parameters take the rest of the text.
      char weight[40];
      std::snprintf(weight, sizeof weight, "W=%.9g", weights[i]);
      const size_t colon = spec.find(':');
      spec = colon == std::string::npos ? spec + ":" + weight
                                        : spec.substr(0, colon + 1) + weight + spec.substr(colon);
    }
    specs.push_back(std::move(spec));
  }
  if (kind != Example::kNone && specs.empty()) {
    if (!CatalogQueryFeatures(c, &specs)) return Failed(where);
    if (specs.empty()) return Fail(where, "the catalog has no feature class to compare");
  }

  KivoWrapClass query;
  if (query.Open(c->catalog.c_str(), c->database.c_str(), "r") != 0) return Failed(where);
  for (const std::string& spec : specs) {
    if (query.AddFeature(spec.c_str()) != 0) return Fail(where, ("cannot use feature " + spec).c_str());
  }
  query.SetNumberOfResults(static_cast<int>(n));
  query.SetKeyword(keywords != nullptr ? keywords : "");
  int rc = 0;
  switch (kind) {
    case Example::kImage: rc = query.SetQueryImage(example, nullptr); break;
    case Example::kKey: rc = query.SetQueryKey(example); break;
    case Example::kSketch: rc = query.SetQueryDescription(example); break;
    case Example::kNone: break;
  }
  if (rc != 0) return Failed(where);
  std::unique_ptr<KivoResults> out(new KivoResults());
  if (query.Query([&](const char* key, float distance) { out->entries.emplace_back(key, distance); }, nullptr) != 0) {
    return Failed(where);
  }
  *results = out.release();
  return 0;
}

}  // namespace

extern "C" {

const char* kivo_version(void) { return KIVO_VERSION_STRING; }

const char* kivo_last_error(void) { return GetErrorMSG(); }

int kivo_last_error_number(void) { return static_cast<int>(GetErrorMSGNumber()); }

KivoCatalog* kivo_open(const char* database, const char* catalog, const char* mode) {
  KivoCatalog* opened = nullptr;
  Guard("kivo_open", [&]() -> int {
    if (database == nullptr || catalog == nullptr || mode == nullptr) {
      return Fail("kivo_open", "no database, catalog or mode");
    }
    if (std::strcmp(mode, "r") != 0 && std::strcmp(mode, "w") != 0) {
      return Fail("kivo_open", "the mode is \"r\" or \"w\"");
    }
    std::unique_ptr<KivoCatalog> c(new KivoCatalog());
    c->database = database;
    c->catalog = catalog;
    if (c->wrap.Open(catalog, database, mode) != 0) return Failed("kivo_open");
    // Reading opens the catalog's tables only when they are used: a catalog
    // that is not there is found out now rather than at the first query.
    char* list = c->wrap.ListCatFeatures();
    if (list == nullptr) return Failed("kivo_open");
    KvDelete(list);
    opened = c.release();
    return 0;
  });
  return opened;
}

void kivo_close(KivoCatalog* catalog) { delete catalog; }

int kivo_add_feature(KivoCatalog* catalog, const char* feature) {
  return Guard("kivo_add_feature", [&]() -> int {
    if (catalog == nullptr || feature == nullptr) return Fail("kivo_add_feature", "no catalog or feature");
    if (std::strcmp(catalog->wrap.GetMode(), "w") != 0) {
      return Fail("kivo_add_feature", "the catalog is not open for writing");
    }
    catalog->wrap.Resume();
    return catalog->wrap.AddFeature(feature) == 0 ? 0 : Failed("kivo_add_feature");
  });
}

char* kivo_list_features(KivoCatalog* catalog) {
  char* copy = nullptr;
  Guard("kivo_list_features", [&]() -> int {
    if (catalog == nullptr) return Fail("kivo_list_features", "no catalog");
    catalog->wrap.Resume();
    char* list = catalog->wrap.ListCatFeatures();
    if (list == nullptr) return Failed("kivo_list_features");
    // Trailing blanks of the stored list are dropped.
    size_t length = std::strlen(list);
    while (length > 0 && list[length - 1] == ' ') --length;
    copy = static_cast<char*>(std::malloc(length + 1));
    if (copy != nullptr) {
      std::memcpy(copy, list, length);
      copy[length] = '\0';
    }
    KvDelete(list);
    return copy != nullptr ? 0 : Fail("kivo_list_features", "out of memory");
  });
  return copy;
}

void kivo_free(void* p) { std::free(p); }

int kivo_add_image(KivoCatalog* catalog, const char* image) {
  return Guard("kivo_add_image", [&]() -> int {
    if (catalog == nullptr || image == nullptr) return Fail("kivo_add_image", "no catalog or image");
    if (std::strcmp(catalog->wrap.GetMode(), "w") != 0) {
      return Fail("kivo_add_image", "the catalog is not open for writing");
    }
    if (image[0] == '\0' || std::strpbrk(image, " \t\n\r\v\f") != nullptr) {
      return Fail("kivo_add_image", "an image name is not empty and holds no white space");
    }
    catalog->wrap.Resume();
    return catalog->wrap.AddImages(image) == 0 ? 0 : Failed("kivo_add_image");
  });
}

int kivo_remove_image(KivoCatalog* catalog, const char* key) {
  return Guard("kivo_remove_image", [&]() -> int {
    if (catalog == nullptr || key == nullptr) return Fail("kivo_remove_image", "no catalog or key");
    if (std::strcmp(catalog->wrap.GetMode(), "w") != 0) {
      return Fail("kivo_remove_image", "the catalog is not open for writing");
    }
    if (key[0] == '\0' || std::strpbrk(key, " \t\n\r\v\f") != nullptr) {
      return Fail("kivo_remove_image", "a key is not empty and holds no white space");
    }
    catalog->wrap.Resume();
    return catalog->wrap.DeleteImages(key) == 0 ? 0 : Failed("kivo_remove_image");
  });
}

int kivo_query_image(KivoCatalog* catalog, const char* image, const char* const* features, const double* weights,
                     size_t count, const char* keywords, size_t n, KivoResults** results) {
  return Guard("kivo_query_image", [&]() -> int {
    return RunQuery("kivo_query_image", catalog, Example::kImage, image, features, weights, count, keywords, n,
                    results);
  });
}

int kivo_query_key(KivoCatalog* catalog, const char* key, const char* const* features, const double* weights,
                   size_t count, const char* keywords, size_t n, KivoResults** results) {
  return Guard("kivo_query_key", [&]() -> int {
    return RunQuery("kivo_query_key", catalog, Example::kKey, key, features, weights, count, keywords, n, results);
  });
}

int kivo_query_sketch(KivoCatalog* catalog, const char* sketch, const char* const* features, const double* weights,
                      size_t count, const char* keywords, size_t n, KivoResults** results) {
  return Guard("kivo_query_sketch", [&]() -> int {
    return RunQuery("kivo_query_sketch", catalog, Example::kSketch, sketch, features, weights, count, keywords, n,
                    results);
  });
}

int kivo_query_keywords(KivoCatalog* catalog, const char* keywords, KivoResults** results) {
  return Guard("kivo_query_keywords", [&]() -> int {
    if (keywords == nullptr || keywords[0] == '\0') return Fail("kivo_query_keywords", "no keywords");
    return RunQuery("kivo_query_keywords", catalog, Example::kNone, nullptr, nullptr, nullptr, 0, keywords, 0,
                    results);
  });
}

size_t kivo_results_count(const KivoResults* results) { return results != nullptr ? results->entries.size() : 0; }

const char* kivo_results_key(const KivoResults* results, size_t i) {
  return results != nullptr && i < results->entries.size() ? results->entries[i].first.c_str() : nullptr;
}

float kivo_results_distance(const KivoResults* results, size_t i) {
  return results != nullptr && i < results->entries.size() ? results->entries[i].second : -1.0f;
}

void kivo_results_free(KivoResults* results) { delete results; }

}  // extern "C"

namespace kivocapi {

KvCatalogClass* OpenCatalog(KivoCatalog* catalog) {
  catalog->wrap.Resume();
  KvCatalogClass* open = catalog->wrap.GetCatalog();
  if (open == nullptr) Fail("kivo", "the catalog is not open");
  return open;
}

const KvConnectClass* Connection(KivoCatalog* catalog) { return catalog->wrap.GetConnection(); }

}  // namespace kivocapi
