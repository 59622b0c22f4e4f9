// Parameter sets: the command-line and query-string forms.
#include <string>

#include "FuzzUtil.h"
#include "data/KvParameter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  KvDatumClass in;
  kvfuzz::Load(in, data, size);
  KvParameterClass fromQuery;
  fromQuery.FromQueryString(in);
  KvParameterClass fromLine;
  fromLine.FromCommandLineString(in);
  // Whatever was read writes out and reads back to the same text.
  KvDatumClass written;
  if (fromLine.ToCommandLineString(written) == 0) {
    KvParameterClass again;
    again.FromCommandLineString(written);
    KvDatumClass rewritten;
    again.ToCommandLineString(rewritten);
  }
  return 0;
}
