// The query client of the server scripts: sends each file's query text to
// the KvQSrv on 127.0.0.1:PORT through KvQueryClientClass and prints, per
// file, "status S" and the result set's query-string form on a line of its
// own (no line when the answer holds none).
//
//   kvqsrv_ask PORT SCRATCH-DATABASE FILE...
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "KvFactory.h"
#include "core/KvDatum.h"
#include "core/KvEnv.h"
#include "core/KvError.h"
#include "query/KvQueryClient.h"
#include "storage/KvConnect.h"
#include "storage/KvKeyDatabase.h"

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fputs("Usage: kvqsrv_ask PORT SCRATCH-DATABASE FILE...\n", stderr);
    return 2;
  }
  Kvsetenv("KivoServerHost", "127.0.0.1");
  Kvsetenv("KivoServerPort", argv[1]);
  // The client's result sets live on a connection of its own.
  if (KvGetConnection("w", argv[2], nullptr) == nullptr) {
    KvPrintErrorMessage(stderr);
    return 1;
  }
  int failed = 0;
  for (int i = 3; i < argc; ++i) {
    std::ifstream in(argv[i], std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "kvqsrv_ask: cannot read %s\n", argv[i]);
      return 1;
    }
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    KvQueryClientClass client;
    KvInitializeErrorStructure();
    KvKeyDatabaseClass* result = client.Evaluate(text.c_str());
    std::printf("status %d\n", client.GetStatus());
    if (result == nullptr) continue;
    KvDatumClass d;
    if (result->ToQueryString(d) != 0) {
      ++failed;
      continue;
    }
    const char* bytes = reinterpret_cast<const char*>(d.Data());
    std::string line(bytes != nullptr ? bytes : "", d.Size());
    while (!line.empty() && line.back() == '\0') line.pop_back();
    std::printf("%s\n", line.c_str());
  }
  return failed == 0 ? 0 : 1;
}
