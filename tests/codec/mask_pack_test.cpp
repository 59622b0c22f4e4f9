// Packed masks: round trips at boundary shapes, the output bound, the
// pinned format, and refusal of truncated, padded or corrupted data.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "gen_img.h"

namespace {

using Bytes = std::vector<unsigned char>;

size_t Capacity(int width, int height) {
  return static_cast<size_t>(height) * 2 * ((static_cast<size_t>(width) + 7) / 8);
}

// Packs into a buffer of exactly the promised capacity followed by guard
// bytes that must stay untouched.
Bytes Pack(const Bytes& mask, int width, int height) {
  const size_t capacity = Capacity(width, height);
  Bytes out(capacity + 16, 0xAA);
  int n = gen_img_packmask(mask.data(), out.data(), width, height);
  EXPECT_GE(n, 1);
  EXPECT_LE(static_cast<size_t>(n), capacity);
  for (size_t i = capacity; i < out.size(); ++i) EXPECT_EQ(out[i], 0xAA) << "wrote past capacity";
  out.resize(n < 1 ? 0 : static_cast<size_t>(n));
  return out;
}

// Unpacks into an exactly sized, zero-filled buffer.
int Unpack(const Bytes& packed, int width, int height, Bytes* mask) {
  mask->assign(static_cast<size_t>(width) * height, 0);
  // A copy of exactly packed.size() bytes, so reading past it is caught.
  std::unique_ptr<unsigned char[]> exact(new unsigned char[packed.size() + 1]);
  std::copy(packed.begin(), packed.end(), exact.get());
  return gen_img_unpackmask(mask->data(), exact.get(), static_cast<int>(packed.size()), width,
                            height);
}

Bytes Normalised(const Bytes& mask) {
  Bytes out(mask.size());
  for (size_t i = 0; i < mask.size(); ++i) out[i] = mask[i] != 0 ? 0xFF : 0;
  return out;
}

enum class Shape { kRandom, kAllIn, kAllOut, kRect, kSparse, kStripes, kChecker };

Bytes MakeMask(int width, int height, Shape shape, std::mt19937* rng) {
  Bytes mask(static_cast<size_t>(width) * height, 0);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      bool in = false;
      switch (shape) {
        case Shape::kRandom: in = (*rng)() % 2 != 0; break;
        case Shape::kAllIn: in = true; break;
        case Shape::kAllOut: in = false; break;
        case Shape::kRect: in = x >= width / 4 && x < 3 * width / 4 && y >= height / 3; break;
        case Shape::kSparse: in = (*rng)() % 23 == 0; break;
        case Shape::kStripes: in = (y / 3) % 2 == 0; break;
        case Shape::kChecker: in = (x + y) % 2 == 0; break;
      }
      // Any non-zero byte is inside.
      mask[static_cast<size_t>(y) * width + x] = in ? static_cast<unsigned char>(1 + (*rng)() % 255) : 0;
    }
  }
  return mask;
}

TEST(MaskPack, RoundTripsEveryShapeAndSize) {
  std::mt19937 rng(7);
  const int sizes[][2] = {{1, 1},  {1, 37}, {37, 1},  {7, 3},    {8, 8},    {9, 2},
                          {15, 4}, {16, 5}, {17, 17}, {100, 40}, {257, 3}, {1000, 2}};
  const Shape shapes[] = {Shape::kRandom, Shape::kAllIn,  Shape::kAllOut, Shape::kRect,
                          Shape::kSparse, Shape::kStripes, Shape::kChecker};
  for (const auto& size : sizes) {
    for (Shape shape : shapes) {
      SCOPED_TRACE(testing::Message() << size[0] << "x" << size[1] << " shape "
                                      << static_cast<int>(shape));
      Bytes mask = MakeMask(size[0], size[1], shape, &rng);
      Bytes packed = Pack(mask, size[0], size[1]);
      Bytes back;
      ASSERT_EQ(Unpack(packed, size[0], size[1], &back), GEN_IMG_OK);
      EXPECT_EQ(back, Normalised(mask));
    }
  }
}

TEST(MaskPack, KnownEncodings) {
  struct Case {
    const char* name;
    int width, height;
    Bytes mask;
    Bytes packed;
  };
  Bytes wide(100, 0);
  for (int x = 10; x < 20; ++x) wide[x] = 1;
  const Case cases[] = {
      {"empty row", 5, 1, Bytes(5, 0), {0}},
      {"full rows repeated", 3, 4, Bytes(12, 9), {1, 4, 3}},
      {"bitmap row", 10, 1, {0, 0, 0, 1, 1, 1, 0, 0, 0, 1}, {2, 0x1C, 0x40}},
      {"run row", 100, 1, wide, {3, 2, 10, 10}},
      {"row starting inside", 100, 1, Bytes(wide.rbegin(), wide.rend()), {3, 2, 80, 10}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Pack(c.mask, c.width, c.height), c.packed);
    Bytes back;
    ASSERT_EQ(Unpack(c.packed, c.width, c.height, &back), GEN_IMG_OK);
    EXPECT_EQ(back, Normalised(c.mask));
  }
}

TEST(MaskPack, EveryTruncationAndTrailingByteIsRefused) {
  std::mt19937 rng(11);
  const int sizes[][2] = {{1, 1}, {9, 7}, {64, 9}, {300, 5}};
  for (const auto& size : sizes) {
    for (Shape shape : {Shape::kRandom, Shape::kRect, Shape::kSparse, Shape::kAllIn}) {
      Bytes mask = MakeMask(size[0], size[1], shape, &rng);
      Bytes packed = Pack(mask, size[0], size[1]);
      Bytes back;
      for (size_t n = 1; n < packed.size(); ++n) {
        Bytes cut(packed.begin(), packed.begin() + n);
        ASSERT_NE(Unpack(cut, size[0], size[1], &back), GEN_IMG_OK) << "length " << n;
        ASSERT_EQ(back, Bytes(back.size(), 0)) << "a refused mask stays cleared";
      }
      for (unsigned char extra : {0, 1, 4, 0xFF}) {
        Bytes longer = packed;
        longer.push_back(extra);
        ASSERT_NE(Unpack(longer, size[0], size[1], &back), GEN_IMG_OK);
      }
      // The same bytes do not fit other sizes.
      EXPECT_NE(Unpack(packed, size[0], size[1] + 1, &back), GEN_IMG_OK);
    }
  }
}

TEST(MaskPack, RefusesMalformedRecords) {
  struct Case {
    const char* name;
    Bytes packed;
  };
  // Width 10 (two bitmap bytes), height 2.
  const Case cases[] = {
      {"unknown kind", {5, 0}},
      {"repeat first", {4, 1, 0}},
      {"repeat of zero rows", {0, 4, 0}},
      {"repeat past the last row", {0, 4, 2}},
      {"repeat after repeat", {0, 4, 1, 4, 1}},
      {"no runs", {3, 0, 0}},
      {"run as long as the row", {3, 1, 10, 0}},
      {"runs past the row", {3, 2, 6, 5, 0}},
      {"empty inner run", {3, 2, 0, 0, 0}},
      {"more runs than pixels", {3, 11, 1, 0}},
      {"padding bits set", {2, 0xFF, 0xFF, 0}},
      {"overlong number", {3, 0x81, 0x00, 2, 0}},
      {"six-byte number", {3, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0}},
      {"one row missing", {0}},
      {"one row too many", {0, 1, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes back;
    EXPECT_EQ(Unpack(c.packed, 10, 2, &back), GEN_IMG_ECORRUPT);
    EXPECT_EQ(back, Bytes(20, 0));
  }
  Bytes back;
  EXPECT_EQ(Unpack({1, 4, 1}, 10, 2, &back), GEN_IMG_OK);
  EXPECT_EQ(back, Bytes(20, 0xFF));
  EXPECT_EQ(Unpack({3, 1, 3, 0}, 10, 2, &back), GEN_IMG_OK);
  EXPECT_EQ(back[2], 0);
  EXPECT_EQ(back[3], 0xFF);
  EXPECT_EQ(back[10], 0);
}

// Random damage may still decode (a flipped bitmap bit is a valid mask) but
// must never read or write out of bounds.
TEST(MaskPack, RandomDamageStaysInBounds) {
  std::mt19937 rng(99);
  for (int round = 0; round < 2000; ++round) {
    int width = 1 + static_cast<int>(rng() % 70), height = 1 + static_cast<int>(rng() % 12);
    Bytes mask = MakeMask(width, height, round % 2 ? Shape::kRandom : Shape::kRect, &rng);
    Bytes packed = Pack(mask, width, height);
    packed[rng() % packed.size()] = static_cast<unsigned char>(rng());
    Bytes back;
    int status = Unpack(packed, width, height, &back);
    if (status != GEN_IMG_OK) {
      ASSERT_EQ(back, Bytes(back.size(), 0));
    } else {
      for (unsigned char b : back) ASSERT_TRUE(b == 0 || b == 0xFF);
    }
  }
}

TEST(MaskPack, RefusesBadArguments) {
  unsigned char mask[4] = {0, 1, 0, 1}, out[8];
  EXPECT_LT(gen_img_packmask(nullptr, out, 2, 2), 1);
  EXPECT_LT(gen_img_packmask(mask, nullptr, 2, 2), 1);
  EXPECT_LT(gen_img_packmask(mask, out, 0, 2), 1);
  EXPECT_LT(gen_img_packmask(mask, out, 2, -1), 1);
  unsigned char packed[1] = {0};
  EXPECT_EQ(gen_img_unpackmask(nullptr, packed, 1, 1, 1), GEN_IMG_EARG);
  EXPECT_EQ(gen_img_unpackmask(mask, nullptr, 1, 1, 1), GEN_IMG_EARG);
  EXPECT_EQ(gen_img_unpackmask(mask, packed, 0, 1, 1), GEN_IMG_EARG);
  EXPECT_EQ(gen_img_unpackmask(mask, packed, -5, 1, 1), GEN_IMG_EARG);
  EXPECT_EQ(gen_img_unpackmask(mask, packed, 1, 0, 1), GEN_IMG_EARG);
  EXPECT_EQ(gen_img_unpackmask(mask, packed, 1, 1, -1), GEN_IMG_EARG);
}

}  // namespace
