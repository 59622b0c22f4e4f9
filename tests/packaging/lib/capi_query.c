/* The C interface from C: the four nearest keys to images/redish.ppm in the
   catalog photos of the database db, one "key distance" line each. */
#include <stdio.h>
#include "kivo.h"
int main(void) {
  KivoCatalog* c = kivo_open("db", "photos", "r");
  KivoResults* r = NULL;
  if (c == NULL || kivo_query_image(c, "images/redish.ppm", NULL, NULL, 0, NULL, 4, &r) != 0) {
    fprintf(stderr, "%s\n", kivo_last_error());
    return 1;
  }
  for (size_t i = 0; i < kivo_results_count(r); ++i) {
    printf("%s %f\n", kivo_results_key(r, i), (double)kivo_results_distance(r, i));
  }
  kivo_results_free(r);
  kivo_close(c);
  return 0;
}
