// Thumbnails of photographs that carry an orientation tag: the rescale of
// gen_img.h with the image turned upright after scaling. Kept apart from
// gen_img.h, whose functions keep the stored pixel order.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// As gen_img_rescale_image, with the image turned upright for orientation (1
// to 8 as in the EXIF tag; 1 or any other value: as stored). The box is
// filled in the upright image's shape.
int gen_img_rescale_oriented(const char* inPath, const char* outPath, int maxWidth, int maxHeight, int pad,
                             int orientation);

#ifdef __cplusplus
}
#endif
