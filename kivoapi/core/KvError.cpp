// The last-error record and its message table.
#include "core/KvError.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

namespace {

struct ErrorRow {
  KERR_Type code;
  const char* format;
};

// Stored order matters only for row 0, whose text serves codes that are not
// in the table. Rows 50 and 51 stand in the order 10051, 10050.
const ErrorRow kErrorTable[] = {
    {KERR_Type(10000), "kuError: Message %d not found in error table."},
    {KERR_Type(10001), "KIVO error: %s"},
    {KERR_Type(10002), "KIVO: No error occured, This error should not occur."},
    {KERR_Type(10003), "%s: Invalid object has no pixels in it."},
    {KERR_Type(10004), "KIVO: NULL datum at %s."},
    {KERR_Type(10005), "KIVO: Failure of new for class %s at %s."},
    {KERR_Type(10006), "KIVO: Unable to allocate %d bytes of storage."},
    {KERR_Type(10007), "KIVO: Unable to allocate %d bytes of storage at %s."},
    {KERR_Type(10008), "%s: FromByteString read %d bytes, expected %d."},
    {KERR_Type(10009), "KIVO: Image dimensions width=%d, height=%d at %s."},
    {KERR_Type(10010), "KvAnyrd: Input image file not found. filename: %s  paths %s."},
    {KERR_Type(10011), "KvAnyrd: Size mismatch reading %s of image %s. Wanted %d Read %d bytes."},
    {KERR_Type(10012), "%s coerce failed from type %s to type %s."},
    {KERR_Type(10013), "%s coerce failed from type %s to type %s and type %s."},
    {KERR_Type(10014), "%s found unknown generic data type %d."},
    {KERR_Type(10015), "%s: Unable to open file: %s."},
    {KERR_Type(10016), "%s: NULL file descriptor: %s."},
    {KERR_Type(10017), "kmUtil: Expecting at least %d features for object %s but only got %d."},
    {KERR_Type(10018), "kuFeaIO: Maximum export length %d exceeded with %d characters."},
    {KERR_Type(10019), "kmUtil: Not enough room for object name: <%s>."},
    {KERR_Type(10020), "kcComp: std computation error. Taking square root of %f."},
    {KERR_Type(10021), "kcUtil: Invalid %s value to be converted. i=%d  value=%6.3lf"},
    {KERR_Type(10022), "kcDist: Undefined color histogram matching method: %d."},
    {KERR_Type(10023), "kcDist: CodeAndWeightCount too big in: %s."},
    {KERR_Type(10024), "kuClust: Can't convert %d clusters (with %d pinned) to %d clusters."},
    {KERR_Type(10025), "kuClust: Can't find a unique map from %d entries to %d entries."},
    {KERR_Type(10026), "kmQuery: Unrecognized DB class type: '%c' for file %s"},
    {KERR_Type(10027), "kmQuery: Error from %s, rc=%d"},
    {KERR_Type(10028), "AnyImage error: %s, %s"},
    {KERR_Type(10029), "KvCreate: Unknown connection class %s."},
    {KERR_Type(10030), "KvCreate: Connection to database %s with mode %s failed."},
    {KERR_Type(10031), "KvCreate: Unknown generic data class %s."},
    {KERR_Type(10032), "KvCreate: Unknown query class %s."},
    {KERR_Type(10033), "KvCatCls: Attempt to open NULL catalog."},
    {KERR_Type(10034), "KvCatCls: Open for catalog %s failed with rc %d.  Check catalog name."},
    {KERR_Type(10035), "KvCatCls: Insert into catalog %s with key %s failed with rc %d."},
    {KERR_Type(10036), "KvCatCls: Update into catalog %s with key %s failed with rc %d."},
    {KERR_Type(10037), "KvCatCls: Feature %s not in catalog %s."},
    {KERR_Type(10038), "KvCatCls AddRecord: precheck failed with key %s for %s with rc %d."},
    {KERR_Type(10039), "KvCatCls AddRecord: %s with key %s for %s failed with rc %d."},
    {KERR_Type(10040),
     "KvCatCls AddRecord: Update of incremental distance table with key %s for %s failed with rc %d."},
    {KERR_Type(10041),
     "KvCatCls AddRecord: Update of incremental index table with key %s for %s failed with rc %d."},
    {KERR_Type(10042), "KvCatCls: Open for subpart catalog %s failed with rc %d.  Check catalog name."},
    {KERR_Type(10043), "KvCreate: Unknown feature class %s."},
    {KERR_Type(10044), "KvCatCls: Can't create feature %s."},
    {KERR_Type(10045), "KvCatCls: Delete of feature class %s from catalog %s failed with rc %d."},
    {KERR_Type(10046), "KvCatCls: Open for feature table %s failed with rc %d."},
    {KERR_Type(10047), "KvCatCls: Retrieve on feature table %s with key %s failed with rc %d."},
    {KERR_Type(10048), "KvCatCls: Update on feature table %s with key %s failed with rc %d."},
    {KERR_Type(10049), "KvCatCls: Insert on feature table %s with key %s failed with rc %d."},
    {KERR_Type(10051), "KvCatCls: Create of catalog table %s failed with rc %d."},
    {KERR_Type(10050), "KvCatCls: Close and remove on table %s failed with rc %d."},
    {KERR_Type(10052), "KvCatCls: Open for sampler %s failed with rc %d."},
    {KERR_Type(10053), "KvCatCls: Retrieve from sampler %s failed with rc %d."},
    {KERR_Type(10054), "KvCatCls: Insert in sampler %s with key %s failed with rc %d."},
    {KERR_Type(10055), "KvCatCls: Update in sampler %s with key %s failed with rc %d."},
    {KERR_Type(10056), "KvCatCls: Delete from sampler %s with key %s failed with rc %d."},
    {KERR_Type(10057), "KvCatCls: Open for Idx file %s failed with rc %d."},
    {KERR_Type(10058), "KvCatCls: Create of Idx table %s failed with rc %d."},
    {KERR_Type(10059), "KvCatCls: Close and remove on Idx file %s failed with rc %d."},
    {KERR_Type(10060), "KvCatCls: Open for index file %s failed with rc %d."},
    {KERR_Type(10061), "KvCatCls: Update of index %s with key %s failed with rc %d."},
    {KERR_Type(10062), "KvCatCls: Update of index %s with key %s failed with rc %d."},
    {KERR_Type(10063), "KvCatCls: Retrieve on index %s with key %s failed with rc %d."},
    {KERR_Type(10064), "KvCatCls: Error updating incremental index list %s.  rc = %d."},
    {KERR_Type(10065), "KvCatCls: Retrieve on incremental index list %s failed.  rc = %d."},
    {KERR_Type(10066), "KvCatCls: Error updating incremental distance list %s.  rc = %d."},
    {KERR_Type(10067), "KvCatCls: Retrieve on incremental distance list %s failed.  rc = %d."},
    {KERR_Type(10068), "KvCatCls: Could not get global info for feature %s."},
    {KERR_Type(10069), "ksComp: ComputeMajorAxisFeatures q=0 found N20=%f,N11=%f,N02=%f"},
    {KERR_Type(10070), "ComputeInv: ComputeMomentInvariance tql1 ierr = %ld"},
    {KERR_Type(10071), "kuFeaIO: Wrong number of %s features input: expected %d, got %d"},
    {KERR_Type(10072), ""},
};
constexpr int kErrorTableCount = 73;
static_assert(sizeof(kErrorTable) / sizeof(kErrorTable[0]) == kErrorTableCount,
              "the message table has 73 rows");

constexpr size_t kMessageSize = 4096;

struct ErrorRecord {
  KERR_Type number;
  KERR_SeverityType severity;
  char message[kMessageSize];
};

// One record per thread: single-threaded programs see the one process-wide
// record; the query server's workers each keep their own.
thread_local ErrorRecord tRecord = {KERR_Type(0), KERR_NonFatal, {0}};

const char* FindFormat(KERR_Type code) {
  for (int i = 0; i < kErrorTableCount; ++i) {
    if (kErrorTable[i].code == code) return kErrorTable[i].format;
  }
  return nullptr;
}

}  // namespace

void KvErrorRecord(KERR_Type code, int severity, ...) {
  if (code == KERR_NoError && severity == KERR_NonFatal) return;
  char text[kMessageSize];
  const char* format = FindFormat(code);
  if (format != nullptr) {
    va_list args;
    va_start(args, severity);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
  } else {
    std::snprintf(text, sizeof text, kErrorTable[0].format, static_cast<int>(code));
  }
  tRecord.number = code;
  tRecord.severity = static_cast<KERR_SeverityType>(severity);
  std::memcpy(tRecord.message, text, std::strlen(text) + 1);
}

void KvInitializeErrorStructure() {
  tRecord.number = KERR_Type(0);
  tRecord.severity = KERR_NonFatal;
  tRecord.message[0] = '\0';
}

int SetErrorMSGNumber(KERR_Type number) {
  tRecord.number = number;
  return 0;
}

int SetErrorMSGSeverity(KERR_SeverityType severity) {
  tRecord.severity = severity;
  return 0;
}

int SetErrorMSG(const char* text) {
  if (text == nullptr) text = "";
  std::snprintf(tRecord.message, kMessageSize, "%s", text);
  return 0;
}

KERR_Type GetErrorMSGNumber() { return tRecord.number; }
KERR_SeverityType GetErrorMSGSeverity() { return tRecord.severity; }
char* GetErrorMSG() { return tRecord.message; }

std::string KvMessageOneLine(const char* text) {
  std::string line(text != nullptr ? text : "");
  for (char& c : line) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line;
}

void KvPrintErrorMessage(FILE* stream) {
  if (stream == nullptr) return;
  std::fprintf(stream, "Error=%d  Severity=%d\n%s \n", static_cast<int>(tRecord.number),
               static_cast<int>(tRecord.severity), tRecord.message);
}

void* KvNew(size_t size, const char* where, KERR_SeverityType severity) {
  void* p = ::operator new(size, std::nothrow);
  if (p == nullptr) {
    KvError(KERR_Alloc, severity, static_cast<int>(size), where != nullptr ? where : "");
  }
  return p;
}

void* KvCNew(size_t count, size_t size, const char* where, KERR_SeverityType severity) {
  if (size != 0 && count > static_cast<size_t>(-1) / size) {
    KvError(KERR_Alloc, severity, -1, where != nullptr ? where : "");
    return nullptr;
  }
  const size_t total = count * size;
  void* p = KvNew(total, where, severity);
  if (p != nullptr && total > 0) std::memset(p, 0, total);
  return p;
}

void KvDelete(void* p) { ::operator delete(p); }
