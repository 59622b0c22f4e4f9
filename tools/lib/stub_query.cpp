// Placeholder until the query commands land: the usage works, every query
// fails with a recorded error.
#include <cstdio>

#include "KivoWrap.h"
#include "core/KvError.h"

int KivoWrapClass::QueryByExample(int argc, char** argv, KvStringClass* out) {
  if (argc < 2) return QueryByExampleUsage(stdout, out);
  if (GetOption(argc, argv, 'h', 1) != nullptr) return QueryByExampleUsage(stderr, out);
  KvError(KERR_General, KERR_Fatal, "queries are not available in this build");
  return -1;
}

int KivoWrapClass::Query(KvStringClass* target) {
  (void)target;
  KvError(KERR_General, KERR_Fatal, "queries are not available in this build");
  return -1;
}

int KivoWrapClass::RandomQuery(KvStringClass* target, Boolean random) {
  (void)target, (void)random;
  KvError(KERR_General, KERR_Fatal, "queries are not available in this build");
  return -1;
}
