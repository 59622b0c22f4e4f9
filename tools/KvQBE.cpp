// KvQBE: queries a catalog by example and dumps feature values.
#include <cstdio>

#include "KivoWrap.h"
#include "core/KvError.h"

int main(int argc, char** argv) {
  KivoWrapClass wrap;
  wrap.SetVerbose(1);
  if (wrap.QueryByExample(argc, argv, nullptr) != 0) {
    KvPrintErrorMessage(stderr);
    return -1;
  }
  return 0;
}
