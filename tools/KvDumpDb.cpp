// KvDumpDb: prints the records of a stored table or of a catalog's feature tables.
#include <cstdio>

#include "KivoWrap.h"
#include "core/KvError.h"

int main(int argc, char** argv) {
  KivoWrapClass wrap;
  if (wrap.DumpDatabase(argc, argv, stdout) != 0) {
    KvPrintErrorMessage(stderr);
    return -1;
  }
  return 0;
}
