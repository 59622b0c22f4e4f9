// The last-error record, its message table and the allocation primitives.
//
// The function that detects a failure records it with KvError; callers that
// get a failure result from a callee pass it on without a second message.
// The record is never cleared on success. Each thread has its own record, so
// a server that evaluates queries on several threads keeps them apart.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

enum KERR_Type : int32_t {
  KERR_NotInTable = 10000,
  KERR_General = 10001,
  KERR_NoError = 10002,
  KERR_NoPixels = 10003,
  KERR_NullDatum = 10004,
  KERR_NewFailed = 10005,
  KERR_AllocBytes = 10006,
  KERR_Alloc = 10007,
  KERR_ByteStringSize = 10008,
  KERR_ImageDims = 10009,
  KERR_ImageNotFound = 10010,
  KERR_ImageSizeMismatch = 10011,
  KERR_Coerce = 10012,
  KERR_Coerce2 = 10013,
  KERR_UnknownDataType = 10014,
  KERR_OpenFile = 10015,
  KERR_NullFile = 10016,
  KERR_FewFeatures = 10017,
  KERR_ExportLength = 10018,
  KERR_ObjectName = 10019,
  KERR_StdSqrt = 10020,
  KERR_InvalidValue = 10021,
  KERR_HistMethod = 10022,
  KERR_CodeWeightCount = 10023,
  KERR_ClusterCount = 10024,
  KERR_ClusterMap = 10025,
  KERR_DbClassType = 10026,
  KERR_ErrorFrom = 10027,
  KERR_AnyImage = 10028,
  KERR_UnknownConnectClass = 10029,
  KERR_ConnectFailed = 10030,
  KERR_UnknownDataClass = 10031,
  KERR_UnknownQueryClass = 10032,
  KERR_CatNull = 10033,
  KERR_CatOpen = 10034,
  KERR_CatInsert = 10035,
  KERR_CatUpdate = 10036,
  KERR_CatNoFeature = 10037,
  KERR_CatPrecheck = 10038,
  KERR_CatAddRecord = 10039,
  KERR_CatIncrDist = 10040,
  KERR_CatIncrIndex = 10041,
  KERR_CatSubPartOpen = 10042,
  KERR_UnknownFeatureClass = 10043,
  KERR_CatCreateFeature = 10044,
  KERR_CatDeleteFeature = 10045,
  KERR_FeatTableOpen = 10046,
  KERR_FeatTableGet = 10047,
  KERR_FeatTableUpdate = 10048,
  KERR_FeatTableInsert = 10049,
  KERR_CatRemoveTable = 10050,
  KERR_CatCreateTable = 10051,
  KERR_SamplerOpen = 10052,
  KERR_SamplerGet = 10053,
  KERR_SamplerInsert = 10054,
  KERR_SamplerUpdate = 10055,
  KERR_SamplerDelete = 10056,
  KERR_IdxOpen = 10057,
  KERR_IdxCreate = 10058,
  KERR_IdxRemove = 10059,
  KERR_IndexOpen = 10060,
  KERR_IndexUpdate = 10061,
  KERR_IndexUpdate2 = 10062,
  KERR_IndexGet = 10063,
  KERR_IncrIndexUpdate = 10064,
  KERR_IncrIndexGet = 10065,
  KERR_IncrDistUpdate = 10066,
  KERR_IncrDistGet = 10067,
  KERR_GlobalInfo = 10068,
  KERR_MajorAxis = 10069,
  KERR_MomentInv = 10070,
  KERR_FeatureCount = 10071,
  KERR_Empty = 10072,
};

enum KERR_SeverityType : int32_t { KERR_NonFatal = 0, KERR_Fatal = 1 };

// Formats the message of code with the arguments its format expects and
// stores code, severity and text in the record. 10002 with severity 0 is
// ignored; a code missing from the table records the row-0 text. Texts longer
// than 4095 characters are cut.
//
// KvErrorRecord does the work. Its variable arguments follow a plain int,
// since va_start after a parameter of enumeration type is undefined; KvError
// keeps the typed severity for its callers and forwards to it.
void KvErrorRecord(KERR_Type code, int severity, ...);
template <typename... Args>
inline void KvError(KERR_Type code, KERR_SeverityType severity, Args... args) {
  KvErrorRecord(code, static_cast<int>(severity), args...);
}

void KvInitializeErrorStructure();
int SetErrorMSGNumber(KERR_Type number);
int SetErrorMSGSeverity(KERR_SeverityType severity);
int SetErrorMSG(const char* text);
KERR_Type GetErrorMSGNumber();
KERR_SeverityType GetErrorMSGSeverity();
// The record's own buffer (not a copy); it changes at the next error.
char* GetErrorMSG();
// An error message (null counts as empty) on one line, as servers log it:
// line breaks become blanks and trailing blanks are dropped.
std::string KvMessageOneLine(const char* text);
// Writes "Error=%d  Severity=%d\n%s \n" to stream.
void KvPrintErrorMessage(FILE* stream);

// Allocates size bytes; on failure records 10007 with size and where at the
// given severity and returns null. Release with KvDelete.
void* KvNew(size_t size, const char* where, KERR_SeverityType severity);
// KvNew of count * size bytes, zero-filled. A product that overflows is
// reported like a failed allocation.
void* KvCNew(size_t count, size_t size, const char* where, KERR_SeverityType severity);
// Releases storage from KvNew/KvCNew; null is ignored.
void KvDelete(void* p);
