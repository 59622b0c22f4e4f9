// Parameter sets: the command-line and query-string forms. Whatever is read
// writes out, and that text reads back to a set that writes the same text.
#include <cstring>
#include <string>

#include "FuzzUtil.h"
#include "data/KvParameter.h"

namespace {

std::string Text(const KvDatumClass& d) {
  return d.Data() != nullptr ? std::string(reinterpret_cast<const char*>(d.Data()), d.Size()) : std::string();
}

void CheckRoundTrip(const KvParameterClass& parms) {
  KvDatumClass written;
  if (parms.ToCommandLineString(written) != 0) __builtin_trap();
  KvParameterClass again;
  if (again.FromCommandLineString(written) != 0) __builtin_trap();
  KvDatumClass rewritten;
  if (again.ToCommandLineString(rewritten) != 0 || Text(written) != Text(rewritten)) __builtin_trap();
  if (again.GetCount() != parms.GetCount()) __builtin_trap();
  // The query-string form carries the same text (when it has no blanks,
  // which that form cannot carry).
  KvDatumClass framed;
  if (parms.ToQueryString(framed) != 0) __builtin_trap();
  KvParameterClass fromFrame;
  if (fromFrame.FromQueryString(framed) != 0) __builtin_trap();
  KvDatumClass unframed;
  fromFrame.ToCommandLineString(unframed);
  const std::string line = Text(written);
  if (line.find_first_of(" \t\n\v\f\r") == std::string::npos && Text(unframed) != line) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  KvDatumClass in;
  kvfuzz::Load(in, data, size);
  KvParameterClass fromQuery;
  if (fromQuery.FromQueryString(in) == 0) CheckRoundTrip(fromQuery);
  KvParameterClass fromLine;
  // -1 refuses the text (a value that is not a number, too many names);
  // anything else must be one of the documented results.
  const int rc = fromLine.FromCommandLineString(in);
  if (rc != 0 && rc != 1 && rc != -1) __builtin_trap();
  if (rc != -1) CheckRoundTrip(fromLine);
  return 0;
}
