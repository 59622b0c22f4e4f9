// Embedding Kivo: rank the images of a catalog (made by KvMkDbs or kivo
// index) by their distance to an image file, with the catalog's own feature
// classes and their default parameters.
//
//   query_catalog <database> <catalog> <image> [n]
//
// Prints "<key> <distance>" lines, nearest first. Build against an installed
// Kivo with pkg-config or CMake (see CMakeLists.txt beside this file):
//
//   g++ -std=c++17 query_catalog.cpp $(pkg-config --cflags --libs kivo) -o query_catalog
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "KvFactory.h"
#include "core/KvDatum.h"
#include "core/KvError.h"
#include "core/KvVersion.h"
#include "data/KvGenericImageData.h"
#include "features/KvFeature.h"
#include "query/KvQuery.h"
#include "storage/KvCatalog.h"
#include "storage/KvConnect.h"
#include "storage/KvKeyDatabase.h"

namespace {

int Fail(const char* what) {
  std::fprintf(stderr, "query_catalog: %s\n", what);
  KvPrintErrorMessage(stderr);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4 || argc > 5) {
    std::fprintf(stderr, "usage: query_catalog <database> <catalog> <image> [n]   (Kivo %s)\n",
                 KIVO_VERSION_STRING);
    return 2;
  }
  const unsigned long n = argc == 5 ? std::strtoul(argv[4], nullptr, 10) : 10;

  // The process-wide connection belongs to the factory; catalogs, features,
  // data objects and query objects belong to us.
  const KvConnectClass* connection = KvGetConnection("r", argv[1], nullptr);
  if (connection == nullptr) return Fail("cannot open the database");
  std::unique_ptr<KvCatalogClass> catalog(connection->NewCatalog());
  if (catalog == nullptr || catalog->Open(argv[2]) != 0) return Fail("cannot open the catalog");

  // The catalog's feature classes, as blank-terminated names.
  KvDatumClass list;
  if (catalog->ListFeatures(list) != 0) return Fail("cannot list the catalog's features");
  std::string names(reinterpret_cast<const char*>(list.Data()), list.Size());
  std::vector<std::unique_ptr<KvFeatureClass>> features;
  std::vector<std::unique_ptr<KvGenericDataClass>> data;
  for (size_t start = 0, blank; (blank = names.find(' ', start)) != std::string::npos; start = blank + 1) {
    const std::string name = names.substr(start, blank - start);
    if (name.empty()) continue;
    std::unique_ptr<KvFeatureClass> feature(KvCreateFeatureClass(name.c_str()));
    if (feature == nullptr) return Fail("unknown feature class");
    if (feature->IsSubPartFeature()) continue;
    std::unique_ptr<KvGenericDataClass> image(KvCreateGenericDataClass("KvGenericImageDataClass"));
    auto* imageData = dynamic_cast<KvGenericImageDataClass*>(image.get());
    if (imageData == nullptr || imageData->ReadImageDataFromFile(argv[3], nullptr, False) != 0) {
      return Fail("cannot read the image");
    }
    features.push_back(std::move(feature));
    data.push_back(std::move(image));
  }
  if (features.empty()) return Fail("the catalog has no feature classes");

  std::vector<KvFeatureClass*> featureObjects;
  std::vector<KvGenericDataClass*> dataObjects;
  std::vector<KvParameterClass*> parameters;
  for (size_t i = 0; i < features.size(); ++i) {
    featureObjects.push_back(features[i].get());
    dataObjects.push_back(data[i].get());
    parameters.push_back(features[i]->GetParameters());  // the class defaults
  }
  std::unique_ptr<KvQueryClass> queryObject(KvCreateQueryClass("KvQueryServerClass"));
  auto* query = dynamic_cast<KvQueryServerClass*>(queryObject.get());
  if (query == nullptr) return Fail("cannot make a query object");
  // The result set belongs to the query object.
  KvKeyDatabaseClass* result =
      query->EvaluateObjects(n, catalog.get(), nullptr, nullptr, static_cast<int>(features.size()),
                             dataObjects.data(), featureObjects.data(), parameters.data());
  if (result == nullptr) return Fail("the query failed");

  std::unique_ptr<KvDbIteratorClass> it(result->NewIterator());
  if (it == nullptr) return Fail("cannot walk the result");
  KvDatumClass key;
  KvDatumClass distance;
  while (it->HasCurrent() && it->NextView(key, distance) == 0) {
    std::printf("%s %f\n", reinterpret_cast<const char*>(key.Data()), static_cast<double>(result->GetDistance(distance)));
  }
  it.reset();
  queryObject.reset();
  catalog.reset();
  KvDestroyConnection(connection);
  return 0;
}
