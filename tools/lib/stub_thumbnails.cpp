// Placeholder until the thumbnail commands land: the usage works, every
// thumbnail request fails with a recorded error.
#include <cstdio>

#include "KivoWrap.h"
#include "core/KvError.h"

int KivoWrapClass::MakeThumbnail(const char* image, const char* thumbnail) {
  (void)image, (void)thumbnail;
  KvError(KERR_General, KERR_Fatal, "thumbnails are not available in this build");
  return -1;
}

int KivoWrapClass::MakeThumbnails(int argc, char** argv, KvStringClass* out) {
  (void)argv;
  if (argc < 2) return MakeThumbnailsUsage(stdout, out);
  KvError(KERR_General, KERR_Fatal, "thumbnails are not available in this build");
  return -1;
}
