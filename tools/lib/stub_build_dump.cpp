// Temporary: the build and dump commands print their usage only.
#include <cstdio>

#include "KivoWrap.h"
#include "core/KvError.h"

int KivoWrapClass::MakeDatabase(int argc, char** argv, KvStringClass* out) {
  (void)argv;
  if (argc <= 1) return MakeDatabaseUsage(stdout, out);
  KvError(KERR_General, KERR_Fatal, "database building is not available in this build");
  return -1;
}

int KivoWrapClass::DumpDatabase(int argc, char** argv, FILE* out) {
  (void)argv;
  if (argc <= 1) return DumpDatabaseUsage(stdout, nullptr);
  (void)out;
  KvError(KERR_General, KERR_Fatal, "dumping is not available in this build");
  return -1;
}
