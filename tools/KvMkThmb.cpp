// KvMkThmb: writes thumbnails of image files.
#include <cstdio>

#include "KivoWrap.h"
#include "core/KvError.h"

int main(int argc, char** argv) {
  KivoWrapClass wrap;
  wrap.SetVerbose(1);
  if (wrap.MakeThumbnails(argc, argv, nullptr) != 0) {
    KvPrintErrorMessage(stderr);
    return -1;
  }
  return 0;
}
