// KivoWrapClass queries: the query-by-example command (KvQBE), the keyword
// restriction followed by the feature query, and the random ranking.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <new>
#include <queue>
#include <string>
#include <utility>
#include <vector>

#include "KivoWrap.h"
#include "KivoWrapText.h"
#include "KvFactory.h"
#include "core/KvDatum.h"
#include "core/KvError.h"
#include "data/KvGenericData.h"
#include "data/KvGenericImageData.h"
#include "data/KvParameter.h"
#include "features/KvFeature.h"
#include "query/KvDeadline.h"
#include "query/KvQuery.h"
#include "storage/KvCatalog.h"
#include "storage/KvConnect.h"
#include "storage/KvKeyDatabase.h"

namespace {

constexpr const char* kNoFeatures = "Can't find any features for the api";
constexpr const char* kQueryFailed = "Error in database query with message: ";
// The keyword query takes every matching key: the largest 32-bit signed count.
constexpr unsigned long kAllKeys = 2147483647ul;

template <typename T>
struct Deleter {
  void operator()(T* p) const { delete p; }
};
template <typename T>
using Owned = std::unique_ptr<T, Deleter<T>>;

struct KvFree {
  void operator()(char* p) const { KvDelete(p); }
};

// Appends each blank-separated piece of list followed by a line feed; a
// trailing blank gives a final empty piece (an empty line).
void AppendSplit(const char* list, KvStringClass& text) {
  const char* piece = list;
  for (;;) {
    const char* blank = std::strchr(piece, ' ');
    if (blank == nullptr) {
      text.Append(piece).Append("\n");
      return;
    }
    text.AppendBytes(piece, static_cast<unsigned long>(blank - piece)).Append("\n");
    piece = blank + 1;
  }
}

// The text of a datum up to its first NUL.
std::string DatumText(const KvDatumClass& datum) {
  const char* bytes = reinterpret_cast<const char*>(datum.Data());
  return bytes != nullptr ? std::string(bytes, strnlen(bytes, datum.Size())) : std::string();
}

int Fail(int code, KERR_SeverityType severity, const char* text) {
  KvError(KERR_General, severity, text);
  return code;
}

// The number of results as the evaluator takes it: unsigned, so that a
// negative count (-n -1) asks for every key.
uint32_t ResultCount(int n) { return static_cast<uint32_t>(n); }

}  // namespace

int KivoWrapClass::Query(const std::function<void(const char* key, float distance)>& each, long* total) {
  return kivowrap::Guarded("KivoWrapClass::Query", [&]() -> int {
    if (catalog_ == nullptr) return Fail(-1, KERR_NonFatal, "KivoWrapClass::Query: no catalog is open");
    Owned<KvGenericImageDataClass> keywordData(new (std::nothrow) KvGenericImageDataClass());
    if (keywordData == nullptr) {
      KvError(KERR_NewFailed, KERR_Fatal, "KvGenericImageDataClass", "KivoWrapClass::Query");
      return -1;
    }
    delete queryObject_;
    queryObject_ = KvCreateQueryClass("KvQueryServerClass");
    auto* query = dynamic_cast<KvQueryServerClass*>(queryObject_);
    if (query == nullptr) {
      delete queryObject_;
      queryObject_ = nullptr;
      return -1;
    }
    // The query object owns every result set it hands out; releasing it at the
    // end releases them.
    struct QueryRelease {
      KvQueryClass*& member;
      ~QueryRelease() {
        delete member;
        member = nullptr;
      }
    } release{queryObject_};

    KvKeyDatabaseClass* restriction = nullptr;
    if (keyword_[0] != '\0') {
      Owned<KvFeatureClass> text(KvCreateFeatureClass("KvTextFeatureClass"));
      if (text == nullptr) return -1;
      keywordData->SetType(KV_DATA_PICKER);
      if (keywordData->SetKeywordText(keyword_) != 0) return -1;
      KvGenericDataClass* data = keywordData.get();
      KvFeatureClass* feature = text.get();
      KvParameterClass* parms = text->GetParameters();
      restriction = query->EvaluateObjects(kAllKeys, catalog_, nullptr, nullptr, 1, &data, &feature, &parms);
      if (restriction == nullptr || query->GetStatus() != 0) return -1;
    }
    KvKeyDatabaseClass* result = restriction;
    if (featureCount_ > 0) {
      result = query->EvaluateObjects(ResultCount(numberOfResults_), catalog_, restriction, nullptr, featureCount_,
                                      dataObjects_, features_, parameterSets_);
      // Stored records that could not be measured were left out; the query
      // has recorded how many at severity 0, which the caller would not see.
      if (result != nullptr && query->GetUnmeasuredRecords() > 0) KvPrintErrorMessage(stderr);
    }
    if (result == nullptr) return -1;

    Owned<KvDbIteratorClass> it(result->NewIterator());
    if (it == nullptr) return -1;
    if (total != nullptr) *total = result->GetCount();
    KvDatumClass key;
    KvDatumClass distance;
    // Bounded by the count so an iterator that stops advancing cannot loop.
    for (long i = 0; i <= result->GetCount() && it->HasCurrent(); ++i) {
      if (it->Next(key, distance, 1) != 0) continue;
      each(DatumText(key).c_str(), result->GetDistance(distance));
    }
    return 0;
  });
}

int KivoWrapClass::Query(KvStringClass* target) {
  if (target == nullptr) return Fail(-1, KERR_NonFatal, "KivoWrapClass::Query: no output string");
  // The header comes first, so the lines are gathered until the count is known.
  KvStringClass lines(800ul, True);
  long total = 0;
  const int rc = Query(
      [&](const char* key, float distance) { lines.AppendFormat("%s %f\n", key, static_cast<double>(distance)); },
      &total);
  if (rc != 0) return rc;
  target->AppendFormat("total of %ld keys found\n", total);
  if (lines.GetString() != nullptr) target->Append(lines.GetString());
  return target->IsValid() && lines.IsValid() ? 0 : 1;
}

int KivoWrapClass::RandomQuery(KvStringClass* target, Boolean random) {
  return kivowrap::Guarded("KivoWrapClass::RandomQuery", [&]() -> int {
    if (connection_ == nullptr) return Fail(1, KERR_NonFatal, "No connection");
    if (catalog_ == nullptr) return Fail(1, KERR_NonFatal, "catalog not opened");
    if (target == nullptr) return Fail(1, KERR_NonFatal, "KivoWrapClass::RandomQuery: no output string");

    // The feature whose table is ranked: the first listed one, else the first
    // class of the catalog that the factory can make.
    std::string featureName;
    if (featureCount_ > 0) {
      featureName = featureNames_[0];
    } else {
      KvDatumClass list;
      const int rc = catalog_->ListFeatures(list);
      if (rc != 0) return Fail(rc, KERR_Fatal, "No Feature data in the catalog");
      const std::string names = DatumText(list);
      size_t at = 0;
      while (featureName.empty() && at < names.size()) {
        size_t blank = names.find(' ', at);
        if (blank == std::string::npos) blank = names.size();
        const std::string name = names.substr(at, blank - at);
        at = blank + 1;
        if (name.empty()) continue;
        Owned<KvFeatureClass> made(KvCreateFeatureClass(name.c_str()));
        if (made != nullptr) featureName = name;
      }
      if (featureName.empty()) return Fail(-1, KERR_Fatal, "Can't create any feature");
    }
    const uint32_t n = catalog_->GetGlobalCounter1(featureName.c_str());
    if (n == 0) return Fail(-1, KERR_Fatal, "No record in the feature table");
    KvStringClass tableName(64ul);
    if (catalog_->GetFeatureTableName(featureName.c_str(), tableName) != 0) return -1;
    Owned<KvDatabaseClass> table(connection_->NewDatabase());
    if (table == nullptr) return Fail(-1, KERR_Fatal, "Cannot Create database class");
    if (table->OpenForWrite(tableName.c_str()) != 0) return Fail(-1, KERR_Fatal, "Cannot open feature table");

    // The generator's own state (the sequence of srand and rand): the storage
    // library draws from the process-wide one while the table is walked.
    struct random_data state{};
    char stateBytes[128] = {};
    initstate_r(random ? static_cast<unsigned>(std::time(nullptr)) | 1u : 1234u, stateBytes, sizeof stateBytes,
                &state);
    auto draw = [&state]() {
      int32_t value = 0;
      random_r(&state, &value);
      return value;
    };
    // Rankings stay what they always were for a seed: the first number of the
    // sequence has never been used for a key.
    (void)draw();
    // Only the first results of the ranking are shown, so only they are kept:
    // a bounded heap ordered like the result set (distance, then key).
    using Ranked = std::pair<float, std::string>;
    const uint32_t wanted = ResultCount(numberOfResults_);
    std::priority_queue<Ranked> best;
    {
      Owned<KvDbIteratorClass> it(table->NewIterator());
      if (it == nullptr) return Fail(-1, KERR_Fatal, "Cannot create iterator");
      KvDatumClass key;
      KvDatumClass data;
      while (it->HasCurrent()) {
        if (it->Next(key, data, 1) != 0) return -1;
        const uint32_t w = static_cast<uint32_t>(draw()) * 65536u + static_cast<uint32_t>(draw());
        Ranked entry(static_cast<float>(static_cast<double>(w % n) / n), DatumText(key));
        if (best.size() < wanted) {
          best.push(std::move(entry));
        } else if (wanted > 0 && entry < best.top()) {
          best.pop();
          best.push(std::move(entry));
        }
      }
    }
    table->Close();  // read-only: nothing to lose
    table.reset();

    Owned<KvKeyDatabaseClass> set(connection_->NewKeyDatabase());
    if (set == nullptr) return Fail(-1, KERR_Fatal, "Cannot create keydatabase");
    // The heap yields the worst entry first, so each insertion lands in front.
    KvDatumClass key;
    KvDatumClass distance;
    while (!best.empty()) {
      const Ranked& top = best.top();
      key.SetBytes(top.second.size() + 1,
                   reinterpret_cast<unsigned char*>(const_cast<char*>(top.second.c_str())), KvOwnNone);
      if (set->SetDistance(distance, top.first) != 0 || set->Insert(key, distance) != 0) {
        key.Clear();
        return Fail(-1, KERR_Fatal, "Cannot insert to keydatabase");
      }
      key.Clear();
      best.pop();
    }
    Owned<KvDbIteratorClass> it(set->NewIterator());
    if (it == nullptr) return -1;
    const long shown = set->GetCount() < static_cast<long>(wanted) ? set->GetCount() : static_cast<long>(wanted);
    target->AppendFormat("total of %d keys found\n", static_cast<int>(shown));
    for (long i = 0; i < shown && it->HasCurrent(); ++i) {
      if (it->Next(key, distance, 1) != 0) continue;
      target->AppendFormat("%s %f\n", DatumText(key).c_str(), static_cast<double>(set->GetDistance(distance)));
    }
    return target->IsValid() ? 0 : 1;
  });
}

namespace {

// What the command prints and hands back. Each step prints only the text it
// added itself (with the verbose flag), so a step never repeats an earlier
// step's lines; the output string always receives the whole text.
class QueryOutput {
 public:
  QueryOutput(KvStringClass* out, int verbose) : out_(out), verbose_(verbose) {}
  KvStringClass& text() { return text_; }
  void Mark() { mark_ = text_.GetLength(); }
  // Prints what was added since the last mark with format ("%s" or "%s\n").
  void PrintNew(const char* format) {
    if (verbose_) std::printf(format, text_.c_str() + (mark_ <= text_.GetLength() ? mark_ : 0));
    Mark();
  }
  void CopyOut() {
    if (out_ != nullptr) out_->Assign(text_.c_str());
  }
  // Replaces the text with a message (and the error record's text, when asked).
  void SetMessage(const char* head, const char* name, const char* tail) {
    text_.Assign(head).Append(name != nullptr ? name : "").Append(tail != nullptr ? tail : "");
    Mark();
  }
  // A failed step: the message replaces the text, goes to standard error
  // when print is set, and is handed back.
  void Fail(const char* head, const char* name, const char* tail, bool print) {
    SetMessage(head, name, tail);
    if (print) std::fprintf(stderr, "%s\n", text_.c_str());
    CopyOut();
  }
  // A finished step: its lines are printed (verbose) and the text handed back.
  void Step(const char* format = "%s\n") {
    PrintNew(format);
    CopyOut();
  }

 private:
  KvStringClass* out_;
  int verbose_;
  KvStringClass text_{100ul};
  unsigned long mark_ = 0;
};

}  // namespace

int KivoWrapClass::QueryByExample(int argc, char** argv, KvStringClass* out) {
  return kivowrap::Guarded("KivoWrapClass::QueryByExample", [&]() -> int {
    if (argc < 2) return QueryByExampleUsage(stdout, out);
    if (kivowrap::TakeFlag(argc, argv, 'h')) return QueryByExampleUsage(stderr, out);
    // Close() forgets the verbose flag, so it is read once here.
    const int verbose = verbose_;
    QueryOutput output(out, verbose);
    KvStringClass& text = output.text();

    // Query forms the usage names but this command has no reader for.
    for (const char letter : {'Q', 'G', 'D'}) {
      if (kivowrap::FindOption(argc, argv, letter, false) >= 0) {
        const std::string message = std::string("option -") + letter + " is not supported by this command";
        KvError(KERR_General, KERR_Fatal, message.c_str());
        QueryByExampleUsage(stderr, nullptr);
        Close();
        return -1;
      }
    }
    if (const char* keyword = GetOption(argc, argv, 'T', 0)) SetKeyword(keyword);
    const char* mask = GetOption(argc, argv, 'M', 0);
    if (const char* n = GetOption(argc, argv, 'n', 0)) {
      // A count read as 0 from "ten" would silently answer nothing.
      if (!kivowrap::ReadCount(n, &numberOfResults_)) {
        const std::string message = std::string("number of results -n ") + n + " is not a whole number";
        KvError(KERR_General, KERR_Fatal, message.c_str());
        Close();
        return -1;
      }
    }
    while (char* assignment = GetOption(argc, argv, 'e', 0)) ApplySetting(assignment);
    // One time limit for the whole command: reading the example image, the
    // keyword search and the feature search all count against it. A value
    // that is no number of seconds sets none here; the searches refuse it.
    const int64_t limitMs = KvQueryTimeLimitMs();
    KvDeadlineScope deadline(KvDeadline::In(limitMs > 0 ? limitMs : 0));
    const bool timed = kivowrap::TakeFlag(argc, argv, 't');
    // The feature query of -i, -I or -S, timed with -t.
    bool featureQueryRan = false;
    auto mainQuery = [&](KvStringClass* target) {
      const auto start = std::chrono::steady_clock::now();
      const int rc = Query(target);
      const auto elapsed = std::chrono::steady_clock::now() - start;
      featureQueryRan = true;
      if (timed) {
        std::fprintf(stderr, "query time: %lld ms\n",
                     static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()));
      }
      return rc;
    };
    bool dumpMode = kivowrap::TakeFlag(argc, argv, 'P');
    int result = 0;
    while (const char* spec = GetOption(argc, argv, 'F', 0)) {
      dumpMode = true;
      if (AddFeature(spec) != 0) {
        if (GetErrorMSGSeverity() == KERR_Fatal) result = -1;
        break;
      }
    }

    if (kivowrap::TakeFlag(argc, argv, 'L')) {
      std::unique_ptr<char, KvFree> list(ListAllFeatures());
      if (list == nullptr) {
        if (out != nullptr) {
          out->Append(kNoFeatures);
        } else {
          std::fprintf(stderr, "%s\n", kNoFeatures);
        }
        Close();
        return 1;
      }
      AppendSplit(list.get(), text);
      output.Step("%s");
      Close();
      return 0;
    }

    if (OpenFromOptions(argc, argv, "r") != 0) {
      QueryByExampleUsage(stderr, nullptr);
      Close();
      return -1;
    }

    if (kivowrap::TakeFlag(argc, argv, 'l')) {
      std::unique_ptr<char, KvFree> list(ListCatFeatures());
      if (list == nullptr) {
        output.Fail(kNoFeatures, nullptr, nullptr, true);
        Close();
        return 1;
      }
      AppendSplit(list.get(), text);
      output.Step("%s");
    }

    if (kivowrap::TakeFlag(argc, argv, 'P')) {
      if (ListParameters(text) != 0) {
        output.SetMessage("Error to get Parameters, have you added feature(s)?", nullptr, nullptr);
        std::fprintf(stderr, "%s\n", text.c_str());
      } else {
        output.PrintNew("%s\n");
      }
      output.CopyOut();
    }

    if (const char* key = GetOption(argc, argv, 'i', 0)) {
      // A dump whose example cannot be set up has nothing to print: it fails
      // as the query would.
      result = dumpMode ? DumpKeyFeatures(key, text) : SetQueryKey(key);
      if (result != 0) {
        output.Fail("input key: ", key, " does not exist in the database", true);
        Close();
        return result;
      }
      if (!dumpMode) {
        result = mainQuery(&text);
        if (result != 0) {
          output.Fail(kQueryFailed, GetErrorMSG(), nullptr, true);
          Close();
          return result;
        }
      }
      output.Step();
    }

    if (const char* image = GetOption(argc, argv, 'I', 0)) {
      result = dumpMode ? DumpImageFeatures(image, mask, text) : SetQueryImage(image, mask);
      if (result != 0 && !dumpMode && KvCurrentDeadline().Expired()) {
        // Read, but too late: the image is there, the time is not.
        output.Fail(kQueryFailed, GetErrorMSG(), nullptr, true);
        Close();
        return -1;
      }
      if (result != 0) {
        output.Fail("input image: ", image, " does not exist!", true);
        Close();
        return result;
      }
      if (!dumpMode) {
        result = mainQuery(&text);
        if (result != 0) {
          output.Fail(kQueryFailed, GetErrorMSG(), nullptr, verbose != 0);
          Close();
          return result;
        }
      }
      output.Step();
    }

    if (const char* description = GetOption(argc, argv, 'S', 0)) {
      result = dumpMode ? DumpDescriptionFeatures(description, text) : SetQueryDescription(description);
      if (result != 0) {
        output.Fail("input string: ", description, " in wrong format.", verbose != 0);
        Close();
        return result;
      }
      if (!dumpMode) {
        result = mainQuery(&text);
        if (result != 0) {
          // The command goes on after a failed description query.
          output.SetMessage(kQueryFailed, GetErrorMSG(), nullptr);
          std::fprintf(stderr, "%s\n", text.c_str());
        }
      }
      if (result == 0) output.PrintNew("%s\n");
      output.CopyOut();
    }

    const bool randomSeed = kivowrap::TakeFlag(argc, argv, 'r');
    const bool fixedSeed = kivowrap::TakeFlag(argc, argv, 'R');
    if (randomSeed || fixedSeed) {
      result = RandomQuery(&text, randomSeed ? True : False);
      if (result != 0) {
        output.Fail(kQueryFailed, GetErrorMSG(), nullptr, verbose != 0);
        Close();
        return result;
      }
      output.Step();
    }

    // The feature query already ranked only the keyword's keys: running the
    // keyword query again would print the same ranking a second time.
    if (keyword_[0] != '\0' && !featureQueryRan) {
      result = Query(&text);
      if (result != 0) {
        output.Fail("Error in keyword query with message: ", GetErrorMSG(), nullptr, verbose != 0);
        Close();
        return result;
      }
      output.Step();
    }

    Close();
    return result;
  });
}
