// The query scan against the raw table walk it is built on.
//
// Builds catalogs of 10,000 and 100,000 stored records (features computed
// from small generated images, cycled over a pool of distinct values, and
// written straight into the feature tables in the catalog's format), then
// times per feature class, in the same run:
//   raw walk: one cursor over the feature table, touching every record;
//   query:    KvQueryServerClass::EvaluateObjects for the best 20 by that
//             feature alone (decoding every record and computing its
//             distance).
// Prints milliseconds per query (best of the repetitions) and the ratio, and
// for comparison the same walk decoding every record (+decode) and also
// computing its distance the plain way (+distance).
//
// Usage: bench_query_scan [directory [label]]   (default: a fresh directory
// under $KIVO_TEST_TMP or /tmp, removed afterwards; "-" also means the
// default). With a label only the cases whose label contains it run.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "BenchCatalog.h"
#include "KvFactory.h"
#include "core/KvDatum.h"
#include "core/KvError.h"
#include "core/KvString.h"
#include "data/KvGenericImageData.h"
#include "data/KvParameter.h"
#include "features/KvFeature.h"
#include "query/KvQuery.h"
#include "storage/KvCatalog.h"
#include "storage/KvConnect.h"
#include "storage/KvKeyDatabase.h"

namespace {

using Clock = std::chrono::steady_clock;

using kvbench::Computed;
using kvbench::Fill;
using kvbench::Image;

// One raw cursor walk over the feature's table; returns a checksum.
unsigned long RawWalk(const KvConnectClass* connection, KvCatalogClass* catalog, const char* feature) {
  KvStringClass name(64ul);
  catalog->GetFeatureTableName(feature, name);
  std::unique_ptr<KvDatabaseClass> table(connection->NewDatabase());
  if (table->Open(name.c_str(), "r") != 0) return 0;
  unsigned long sum = 0;
  {
    std::unique_ptr<KvDbIteratorClass> it(table->NewIterator());
    KvDatumClass key, data;
    while (it->HasCurrent() && it->NextView(key, data) == 0) {
      sum += data.Size() + (data.Data() != nullptr ? data.Data()[data.Size() - 1] : 0u) + key.Size();
    }
  }
  table->Close();
  return sum;
}

// The same walk, decoding each record into one holder and (when query is
// given) computing its distance: the work the evaluator cannot avoid.
double DecodeWalk(const KvConnectClass* connection, KvCatalogClass* catalog, const char* feature,
                  KvFeatureClass* query, KvParameterClass* parms) {
  KvStringClass name(64ul);
  catalog->GetFeatureTableName(feature, name);
  std::unique_ptr<KvDatabaseClass> table(connection->NewDatabase());
  if (table->Open(name.c_str(), "r") != 0) return 0;
  std::unique_ptr<KvFeatureClass> holder(KvCreateFeatureClass(feature));
  double sum = 0;
  {
    std::unique_ptr<KvDbIteratorClass> it(table->NewIterator());
    KvDatumClass key, data;
    while (it->HasCurrent() && it->NextView(key, data) == 0) {
      if (holder->FromByteString(data) != 0) continue;
      if (query != nullptr) sum += query->Distance(holder.get(), parms, 3.4e38f);
    }
  }
  table->Close();
  return sum;
}

// The best of the repetitions: on a shared machine the fastest run is the
// one least disturbed by other work.
double Best(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

struct Case {
  const char* label;
  const char* feature;
  bool picker;  // a picker query: partial matching for the histogram
};

}  // namespace

int main(int argc, char** argv) {
  std::string dir;
  bool remove = false;
  const char* only = argc > 2 ? argv[2] : nullptr;
  if (argc > 1 && std::strcmp(argv[1], "-") != 0) {
    dir = argv[1];
  } else {
    const char* base = std::getenv("KIVO_TEST_TMP");
    std::string pattern = std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/kvbenchXXXXXX";
    if (::mkdtemp(&pattern[0]) == nullptr) {
      std::perror("mkdtemp");
      return 1;
    }
    dir = pattern;
    remove = true;
  }
  const KvConnectClass* connection = KvGetConnection("w", dir.c_str(), nullptr);
  if (connection == nullptr) {
    KvPrintErrorMessage(stderr);
    return 1;
  }

  const Case cases[] = {
      {"average colour", "KvColorFeatureClass", false},
      {"histogram, quadratic form", "KvColorHistogramFeatureClass", false},
      {"histogram, partial matching", "KvColorHistogramFeatureClass", true},
      {"texture", "KvTextureFeatureClass", false},
      {"draw", "KvDrawFeatureClass", false},
  };
  const char* features[] = {"KvColorFeatureClass", "KvColorHistogramFeatureClass", "KvTextureFeatureClass",
                            "KvDrawFeatureClass"};

  // A pool of distinct feature values per class, from generated images.
  std::vector<std::vector<std::string>> pools(4);
  for (unsigned i = 0; i < 2000; ++i) {
    Image image(i, 36, 27);
    for (int f = 0; f < 4; ++f) {
      std::string bytes = Computed(features[f], image.get());
      if (!bytes.empty()) pools[static_cast<size_t>(f)].push_back(std::move(bytes));
    }
  }
  for (int f = 0; f < 4; ++f) {
    if (pools[static_cast<size_t>(f)].empty()) {
      std::fprintf(stderr, "no %s values could be computed\n", features[f]);
      return 1;
    }
  }

  std::printf("%-8s %-30s %12s %12s %7s %12s %12s\n", "records", "feature", "raw walk ms", "query ms", "ratio",
              "+decode ms", "+distance ms");
  for (size_t records : {10000ul, 100000ul}) {
    const std::string catalogName = "bench" + std::to_string(records);
    std::unique_ptr<KvCatalogClass> catalog(connection->NewCatalog());
    if (catalog == nullptr || catalog->CreateCatalog(catalogName.c_str(), 0, 0) != 0 ||
        catalog->Open(catalogName.c_str()) != 0) {
      KvPrintErrorMessage(stderr);
      return 1;
    }
    for (int f = 0; f < 4; ++f) {
      if (!Fill(connection, catalog.get(), features[f], records, pools[static_cast<size_t>(f)])) {
        KvPrintErrorMessage(stderr);
        return 1;
      }
    }
    const int repetitions = records <= 10000 ? 41 : 9;
    for (const Case& c : cases) {
      if (only != nullptr && std::strstr(c.label, only) == nullptr) continue;
      std::unique_ptr<KvFeatureClass> feature(KvCreateFeatureClass(c.feature));
      std::unique_ptr<KvParameterClass> parms(new KvParameterClass);
      *parms = *feature->GetParameters();
      Image image(424242, 36, 27);
      KvGenericImageDataClass picker;
      KvGenericDataClass* data = image.get();
      if (c.picker) {
        picker.ReadPickerImageDescriptionString("D36 27 R0 0 36 27 200 40 40 R4 4 10 8 20 20 220 R20 10 8 8 250 250 0",
                                                False);
        data = &picker;
      }
      KvFeatureClass* f = feature.get();
      KvParameterClass* p = parms.get();
      KvQueryServerClass query(connection);
      std::vector<double> raw, scan, decode, distance;
      unsigned long checksum = 0;
      long found = 0;
      KvKeyDatabaseClass* previous = nullptr;
      for (int r = 0; r < repetitions; ++r) {
        Clock::time_point t0 = Clock::now();
        checksum += RawWalk(connection, catalog.get(), c.feature);
        Clock::time_point t1 = Clock::now();
        KvKeyDatabaseClass* result = query.EvaluateObjects(20, catalog.get(), nullptr, nullptr, 1, &data, &f, &p);
        Clock::time_point t2 = Clock::now();
        if (result == nullptr) {
          std::fprintf(stderr, "%s: query failed: %s\n", c.label, GetErrorMSG());
          return 1;
        }
        found = result->GetCount();
        Clock::time_point t3 = Clock::now();
        DecodeWalk(connection, catalog.get(), c.feature, nullptr, nullptr);
        Clock::time_point t4 = Clock::now();
        DecodeWalk(connection, catalog.get(), c.feature, f, p);
        Clock::time_point t5 = Clock::now();
        raw.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
        scan.push_back(std::chrono::duration<double, std::milli>(t2 - t1).count());
        decode.push_back(std::chrono::duration<double, std::milli>(t4 - t3).count());
        distance.push_back(std::chrono::duration<double, std::milli>(t5 - t4).count());
        // EvaluateObjects hands the previous result to its caller.
        delete previous;
        previous = result;
      }
      const double rawMs = Best(raw);
      const double scanMs = Best(scan);
      std::printf("%-8zu %-30s %12.2f %12.2f %7.2f %12.2f %12.2f   (%ld found)\n", records, c.label, rawMs, scanMs,
                  scanMs / rawMs, Best(decode), Best(distance), found + static_cast<long>(checksum % 1));
      std::fflush(stdout);
    }
  }
  KvDestroyConnection(connection);
  if (remove) {
    const std::string command = "rm -rf '" + dir + "'";
    if (std::system(command.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", dir.c_str());
  }
  return 0;
}
