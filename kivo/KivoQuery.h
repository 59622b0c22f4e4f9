// The query layer of the kivo command: a request (an example image, a stored
// key, keywords or a sketch, with features, weights and N) evaluated against
// a catalog, answered as structured results. The output writers
// (KivoOutput.h) and any other program (an HTTP server) build on it.
#pragma once

#include <memory>
#include <string>
#include <vector>

class KvCatalogClass;

namespace kivo {

class CatalogStore;

struct QueryRequest {
  std::string image;     // an image file
  std::string key;       // a stored key (or the path of an indexed file)
  std::string keywords;  // keywords, matched without regard to case; "+" asks for all
  std::string sketch;    // a picker description or its JSON form
  // Feature specs or preset names; empty: the preset whose classes the
  // catalog holds, else the catalog's own classes at weight 1 (the keyword
  // feature only through keywords).
  std::vector<std::string> features;
  int n = 20;
  bool orient = true;
};

struct QueryHit {
  int rank = 0;
  std::string key;
  std::string path;  // the file: catalog root joined with the key's path
  float distance = 0.0f;
};

struct QueryResult {
  std::vector<QueryHit> hits;
};

// What a query over one part of a catalog (a shard) is told besides the
// request, so that its answer is that part's share of the whole catalog's.
struct QueryScope {
  // The example key as already found, and the catalog that holds it (empty:
  // the request's key is looked up in this catalog).
  std::string key;
  std::string keyCatalog;
  // When set, only these keys are ranked, each starting from its distance,
  // in place of the keyword matches (a cascade's later stage).
  const std::vector<QueryHit>* candidates = nullptr;
};

// Result codes of the query layer.
enum : int { kQueryOk = 0, kQueryFailed = 1, kQueryBadRequest = 2 };

// Evaluates requests against one open catalog. One engine is used by one
// thread at a time; engines on the same store may run side by side.
class QueryEngine {
 public:
  // store must stay open while the engine is used.
  explicit QueryEngine(CatalogStore& store);
  ~QueryEngine();
  QueryEngine(const QueryEngine&) = delete;
  QueryEngine& operator=(const QueryEngine&) = delete;

  // kQueryOk with result filled; kQueryBadRequest for a request that cannot
  // be asked (no example, several examples, an unknown feature or key, a
  // malformed sketch); kQueryFailed when the evaluation failed. error says
  // why.
  int Run(const QueryRequest& request, QueryResult* result, std::string* error);
  int Run(const QueryRequest& request, const QueryScope& scope, QueryResult* result, std::string* error);
  // Evaluates against catalog (open on the store's catalog, taken over by
  // the engine) in place of the engine's own catalog object: a catalog that
  // reports the statistics of a whole sharded catalog.
  void UseCatalog(std::unique_ptr<KvCatalogClass> catalog);

  // The catalog root recorded by kivo index (empty for a catalog the tools
  // built) and the path a key stands for.
  const std::string& Root() const { return root_; }
  std::string PathOfKey(const std::string& key) const;
  // The stored key a user's text names: the key itself, or the path of an
  // indexed file (relative to the root or the current directory). False when
  // nothing matches.
  bool FindKey(const std::string& text, std::string* key);
  // The features a request without -f uses: the catalog's whole-image
  // classes but the keyword class. kQueryOk, or kQueryBadRequest when it has
  // none, kQueryFailed when they cannot be read.
  int CatalogFeatures(std::vector<std::string>* names, std::string* error);

 private:
  struct State;
  std::unique_ptr<State> state_;
  CatalogStore& store_;
  std::string root_;
};

// The stored keys a user's text may stand for in a catalog with this root,
// in the order FindKey tries them: the text, its encoding, and the key of the
// file it names below the root.
std::vector<std::string> KeySpellings(const std::string& text, const std::string& root);
// The file a key stands for in a catalog with this root (the key itself in a
// catalog without one).
std::string PathOfKey(const std::string& root, const std::string& key);
// Of a catalog's feature classes, those a request without -f uses: every
// whole-image class but the keyword class.
std::vector<std::string> ImageFeatureNames(const std::vector<std::string>& classes);

// Opens database/catalog read-only and runs one request.
int RunQuery(const std::string& database, const std::string& catalog, const QueryRequest& request,
             QueryResult* result, std::string* error);

}  // namespace kivo
