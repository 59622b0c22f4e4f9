// Writing a query text from objects.
//
//   "query %d %s"                                  header (fits in 4096 bytes)
//   "\n [ " keySet " ]"                            main restriction, optional
//   " & p (  [ " keySet " ] )"                     sub-part restriction after a main one
//   " p (  [ " keySet " ] )"                       sub-part restriction alone
//   "\n{\n"
//   sep " [ " class " " "< " parms " >" " " data " ]\n"   one per main feature;
//                                                  sep is " " first, then "&"
//   " p (" terms in the same form " )\n"           only with sub-part features
//   "}\n"
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <vector>

#include "KvFactory.h"
#include "core/KvDatum.h"
#include "core/KvError.h"
#include "core/KvString.h"
#include "data/KvGenericData.h"
#include "data/KvParameter.h"
#include "features/KvFeature.h"
#include "query/KvQuery.h"
#include "storage/KvKeyDatabase.h"

namespace {

constexpr unsigned long kHeaderLimit = 4096;
constexpr const char* kSite = "KvBuildQueryString";

int Refuse(const char* what) {
  KvError(KERR_General, KERR_NonFatal, what);
  return -1;
}

// The text of a datum without a trailing NUL.
std::string_view DatumText(const KvDatumClass& datum) {
  unsigned long size = 0;
  const char* bytes = nullptr;
  datum.GetBytes(size, bytes);
  if (bytes == nullptr) return {};
  const void* nul = std::memchr(bytes, '\0', size);
  const size_t length = nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - bytes) : size;
  return std::string_view(bytes, length);
}

// An embedded <...> text is read back up to its first ">", so a ">" before
// the last character would cut it short on the reading side.
bool Embeddable(std::string_view text) {
  if (text.size() < 2 || text.front() != '<' || text.back() != '>') return false;
  return text.find('>') == text.size() - 1;
}

struct FeatureDeleter {
  void operator()(KvFeatureClass* f) const { delete f; }
};
using FeaturePtr = std::unique_ptr<KvFeatureClass, FeatureDeleter>;

int AppendRestriction(KvKeyDatabaseClass* set, const char* prefix, const char* suffix,
                      KvStringClass& text) {
  KvDatumClass work;
  const int rc = set->ToQueryString(work);
  if (rc != 0) return rc;
  const std::string_view body = DatumText(work);
  if (!Embeddable(body)) return Refuse("KvBuildQueryString: a key set text contains \">\" inside");
  text.Append(prefix).AppendBytes(body.data(), body.size()).Append(suffix);
  return 0;
}

int AppendTerm(const char* separator, const char* className, KvParameterClass* parms,
               KvGenericDataClass* data, KvStringClass& text) {
  if (parms == nullptr || data == nullptr) {
    return Refuse("KvBuildQueryString: a feature has no parameter set or no data object");
  }
  KvDatumClass parmText;
  int rc = parms->ToCommandLineString(parmText);
  if (rc != 0) return rc;
  KvDatumClass dataText;
  rc = data->ToQueryString(dataText);
  if (rc != 0) return rc;
  const std::string_view parmBody = DatumText(parmText);
  const std::string_view dataBody = DatumText(dataText);
  if (parmBody.find('>') != std::string_view::npos || !Embeddable(dataBody)) {
    return Refuse("KvBuildQueryString: a parameter or data object text contains \">\" inside");
  }
  text.Append(separator).Append(" [ ").Append(className).Append(" < ");
  text.AppendBytes(parmBody.data(), parmBody.size()).Append(" > ");
  text.AppendBytes(dataBody.data(), dataBody.size()).Append(" ]\n");
  return 0;
}

int Build(int maxResults, const char* catalogName, KvKeyDatabaseClass* restriction,
          KvKeyDatabaseClass* subPartRestriction, int count, const char** featureNames,
          KvParameterClass** parameterSets, KvGenericDataClass** dataObjects, KvDatumClass& out) {
  if (catalogName == nullptr || catalogName[0] == '\0') return Refuse("KvBuildQueryString: no catalog name");
  if (maxResults < 0) return Refuse("KvBuildQueryString: negative number of results");
  if (count < 0 || (count > 0 && (featureNames == nullptr || dataObjects == nullptr))) {
    return Refuse("KvBuildQueryString: feature names or data objects missing");
  }
  KvStringClass text(32768ul, True);
  if (!text.IsValid()) return -1;
  text.AppendFormat("query %d %s", maxResults, catalogName);
  if (text.GetSize() > kHeaderLimit) return Refuse("KvBuildQueryString: header line longer than 4096 bytes");

  if (restriction != nullptr) {
    const int rc = AppendRestriction(restriction, "\n [ ", " ]", text);
    if (rc != 0) return rc;
  }
  if (subPartRestriction != nullptr) {
    const char* prefix = restriction != nullptr ? " & p (  [ " : " p (  [ ";
    const int rc = AppendRestriction(subPartRestriction, prefix, " ] )", text);
    if (rc != 0) return rc;
  }
  text.Append("\n{\n");

  std::vector<FeaturePtr> features;
  try {
    features.reserve(static_cast<size_t>(count));
  } catch (const std::bad_alloc&) {
    KvError(KERR_Alloc, KERR_Fatal, static_cast<int>(sizeof(KvFeatureClass*) * static_cast<size_t>(count)),
            "feature in KvBuildQueryString()");
    return -1;
  }
  for (int i = 0; i < count; ++i) {
    if (featureNames[i] == nullptr) return Refuse("KvBuildQueryString: null feature class name");
    FeaturePtr feature(KvCreateFeatureClass(featureNames[i]));
    if (feature == nullptr) return GetErrorMSGSeverity() == KERR_Fatal ? -1 : 1;
    features.push_back(std::move(feature));
  }

  // Main terms first, then the sub-part block, each in the caller's order.
  for (int pass = 0; pass < 2; ++pass) {
    const Boolean wantSubPart = pass == 0 ? False : True;
    bool first = true;
    for (int i = 0; i < count; ++i) {
      KvFeatureClass* feature = features[static_cast<size_t>(i)].get();
      if (feature->IsSubPartFeature() != wantSubPart) continue;
      if (wantSubPart && first) text.Append(" p (");
      KvParameterClass* parms = parameterSets != nullptr ? parameterSets[i] : nullptr;
      if (parms == nullptr) parms = feature->GetParameters();
      const int rc = AppendTerm(first ? " " : "&", featureNames[i], parms, dataObjects[i], text);
      if (rc != 0) return rc;
      first = false;
    }
    if (wantSubPart && !first) text.Append(" )\n");
  }
  text.Append("}\n");
  if (!text.IsValid()) return -1;

  const unsigned long size = text.GetSize();
  if (size > 1) {
    text.SetDestructorDelete(False);
    out.SetBytes(size, reinterpret_cast<unsigned char*>(text.GetString()), KvOwnKvDelete);
  } else {
    out.SetBytes(size, nullptr, KvOwnNone);
  }
  return 0;
}

}  // namespace

int KvBuildQueryString(int maxResults, const char* catalogName, KvKeyDatabaseClass* restriction,
                       KvKeyDatabaseClass* subPartRestriction, int count, const char** featureNames,
                       KvParameterClass** parameterSets, KvGenericDataClass** dataObjects,
                       KvDatumClass& out) {
  try {
    return Build(maxResults, catalogName, restriction, subPartRestriction, count, featureNames,
                 parameterSets, dataObjects, out);
  } catch (const std::bad_alloc&) {
    KvError(KERR_Alloc, KERR_Fatal, 0, kSite);
    return -1;
  }
}
