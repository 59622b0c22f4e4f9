// KvMkDbs: builds and updates a catalog from image files.
#include <cstdio>

#include "KivoWrap.h"
#include "core/KvError.h"

int main(int argc, char** argv) {
  KivoWrapClass wrap;
  if (wrap.MakeDatabase(argc, argv, nullptr) != 0) {
    KvPrintErrorMessage(stderr);
    return -1;
  }
  return 0;
}
