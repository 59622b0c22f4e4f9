// Placeholder until the codec lands: every call fails.
#include "gen_img.h"

int gen_img_read_sizes(const char*, int*, int*, gen_img_state*, int) { return GEN_IMG_EFORMAT; }
int gen_img_get_palettized(gen_img_state*, unsigned char*, unsigned char*) { return GEN_IMG_EFORMAT; }
int gen_img_read_close(gen_img_state*) { return 0; }
int gen_img_put_palettized(const char*, int, int, const unsigned char*, const unsigned char*) { return GEN_IMG_EWRITE; }
int gen_img_rescale_image(const char*, const char*, int, int, int) { return GEN_IMG_EFORMAT; }
int gen_img_packmask(const unsigned char*, unsigned char*, int, int) { return 0; }
int gen_img_unpackmask(unsigned char*, const unsigned char*, int, int, int) { return GEN_IMG_EARG; }
