// Image data objects loaded from real image and mask files, and packed masks.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "KvImageFixtures.h"
#include "KvTestUtil.h"
#include "core/KvEnv.h"
#include "core/KvError.h"
#include "data/KvGenericImageData.h"

namespace {

using kvtest::TempDir;

std::string Mask(const KvGenericImageDataClass& d) {
  const unsigned char* m = d.GetMaskPlane();
  return m != nullptr ? std::string(reinterpret_cast<const char*>(m), static_cast<size_t>(d.GetXSize()) * d.GetYSize())
                      : std::string("<null>");
}

class ImageDataFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    KvClearSettings();
    kvtest::ClearError();
    if (!kvtest::CodecWorks(dir_.path())) GTEST_SKIP() << "the image codec cannot read or write files";
    Kvsetenv("KivoImagePath", dir_.path().c_str());
    Kvsetenv("KivoMaskPath", dir_.path().c_str());
    ASSERT_TRUE(kvtest::WriteRgbPicture(dir_.File("pic.png"), 8, 6, IFF_PNG));
    // Mask: black (outside) on the left three columns, white elsewhere.
    unsigned char indices[8 * 6], lut[768] = {};
    for (int i = 0; i < 48; ++i) indices[i] = i % 8 < 3 ? 0 : 1;
    lut[1] = lut[257] = lut[513] = 255;
    ASSERT_TRUE(kvtest::WritePalettedPicture(dir_.File("mask.png"), 8, 6, indices, lut, 2, IFF_PNG));
    for (int i = 0; i < 48; ++i) indices[i] = 1;
    ASSERT_TRUE(kvtest::WritePalettedPicture(dir_.File("white.png"), 8, 6, indices, lut, 2, IFF_PNG));
    ASSERT_TRUE(kvtest::WritePalettedPicture(dir_.File("small.png"), 4, 3, indices, lut, 2, IFF_PNG));
    expectedMask_.clear();
    for (int i = 0; i < 48; ++i) expectedMask_ += i % 8 < 3 ? '\0' : '\xff';
  }
  void TearDown() override { KvClearSettings(); }
  TempDir dir_;
  std::string expectedMask_;
};

TEST_F(ImageDataFiles, MissingMaskGivesFullMask) {
  KvGenericImageDataClass d;
  ASSERT_EQ(d.ReadImageDataFromFile("pic.png", "no_mask.png", True), 0);
  EXPECT_EQ(d.GetType(), KV_DATA_MEMORY);
  EXPECT_EQ(d.GetXSize(), 8);
  EXPECT_EQ(d.GetYSize(), 6);
  EXPECT_EQ(Mask(d), std::string(48, '\xff'));
  EXPECT_EQ(d.GetSubPart(), False);
  EXPECT_EQ(d.GetMaskAllOnes(), True);
  EXPECT_EQ(d.GetMaskFileName(), nullptr);
  EXPECT_STREQ(d.GetImageFileName(), "pic.png");
  EXPECT_STREQ(d.GetKeywordText(), "");
}

TEST_F(ImageDataFiles, MaskSelectsSubPart) {
  for (Boolean asked : {True, False}) {
    KvGenericImageDataClass d;
    ASSERT_EQ(d.ReadImageDataFromFile("pic.png", "mask.png", asked), 0);
    EXPECT_EQ(Mask(d), expectedMask_);
    EXPECT_EQ(d.GetSubPart(), asked);
    EXPECT_EQ(d.GetMaskAllOnes(), False);
    EXPECT_STREQ(d.GetMaskFileName(), "mask.png");
  }
  KvGenericImageDataClass white;
  ASSERT_EQ(white.ReadImageDataFromFile("pic.png", "white.png", True), 0);
  EXPECT_EQ(white.GetSubPart(), False);
  EXPECT_EQ(Mask(white), std::string(48, '\xff'));
}

TEST_F(ImageDataFiles, MismatchedMaskKeepsThePreviousOne) {
  KvGenericImageDataClass d;
  ASSERT_EQ(d.ReadImageDataFromFile("pic.png", "mask.png", True), 0);
  kvtest::ClearError();
  EXPECT_EQ(d.UpdateMaskInImageObject("small.png"), -1);
  EXPECT_EQ(GetErrorMSGNumber(), KERR_ImageSizeMismatch);
  EXPECT_EQ(Mask(d), expectedMask_);
  EXPECT_STREQ(d.GetMaskFileName(), "mask.png");
  EXPECT_EQ(d.UpdateMaskInImageObject(nullptr), 0);
  EXPECT_EQ(d.UpdateMaskInImageObject("white.png"), 0);
  EXPECT_EQ(Mask(d), std::string(48, '\xff'));

  // A picker canvas takes a mask from a file too; its own mask is released.
  KvGenericImageDataClass picker;
  ASSERT_EQ(picker.ReadPickerImageDescriptionString("D8 6 R0 0 1 1 1 2 3", False), 0);
  EXPECT_EQ(picker.UpdateMaskInImageObject("mask.png"), 0);
  EXPECT_EQ(Mask(picker), expectedMask_);
}

TEST_F(ImageDataFiles, FailedReadLeavesAnEmptyObject) {
  KvGenericImageDataClass d;
  ASSERT_EQ(d.ReadImageDataFromFile("pic.png", nullptr, False), 0);
  kvtest::WriteFile(dir_.File("broken.png"), std::string("\x89PNG\r\n\x1a\n", 8));
  for (const char* name : {"missing.png", "broken.png"}) {
    EXPECT_EQ(d.ReadImageDataFromFile(name, nullptr, False), -1) << name;
    EXPECT_EQ(d.GetIndexPlane(), nullptr);
    EXPECT_EQ(d.GetMaskPlane(), nullptr);
    EXPECT_EQ(d.GetXSize(), 0);
    EXPECT_EQ(d.GetImageFileName(), nullptr);
  }
  KvGenericImageDataClass picker;
  EXPECT_EQ(picker.ReadImageDataFromPickerFile("missing.png", nullptr, False), -1);
  EXPECT_EQ(picker.GetType(), KV_DATA_PICKER);
  ASSERT_EQ(picker.ReadImageDataFromPickerFile("pic.png", nullptr, False), 0);
  EXPECT_EQ(picker.GetType(), KV_DATA_PICKER);
}

TEST_F(ImageDataFiles, KeepsKeywordText) {
  // Texts are not looked for beside the image, but along "KivoTextPath".
  kvtest::WriteFile(dir_.File("pic.png.txt"), "red\tbarn\n");
  KvGenericImageDataClass d;
  ASSERT_EQ(d.ReadImageDataFromFile("pic.png", nullptr, False), 0);
  EXPECT_STREQ(d.GetKeywordText(), "");
  Kvsetenv("KivoTextPath", dir_.path().c_str());
  ASSERT_EQ(d.ReadImageDataFromFile("pic.png", nullptr, False), 0);
  EXPECT_STREQ(d.GetKeywordText(), "red barn ");
  // So do "!@" images, after the current directory.
  kvtest::WriteFile(dir_.File("!@r10g20b30.txt"), "test colour");
  ASSERT_EQ(d.ReadImageDataFromFile("!@r10g20b30", nullptr, False), 0);
  EXPECT_STREQ(d.GetKeywordText(), "test colour");
  EXPECT_EQ(d.GetPalette()[1], 0x10);
}

TEST_F(ImageDataFiles, FileImageQueryStringRoundTrip) {
  KvGenericImageDataClass d;
  ASSERT_EQ(d.ReadImageDataFromFile("pic.png", "mask.png", True), 0);
  KvDatumClass text;
  ASSERT_EQ(d.ToQueryString(text), 0);
  KvGenericImageDataClass back;
  ASSERT_EQ(back.FromQueryString(text, "KvColorFeatureClass"), 0);
  EXPECT_EQ(back.GetType(), KV_DATA_MEMORY);
  EXPECT_EQ(Mask(back), expectedMask_);
  EXPECT_EQ(back.GetSubPart(), True);
  EXPECT_EQ(std::memcmp(back.GetIndexPlane(), d.GetIndexPlane(), 48), 0);
  EXPECT_EQ(std::memcmp(back.GetPalette(), d.GetPalette(), 768), 0);
}

TEST_F(ImageDataFiles, PackedMaskRoundTrip) {
  KvGenericImageDataClass d;
  ASSERT_EQ(d.ReadImageDataFromFile("pic.png", "mask.png", True), 0);
  KvDatumClass packed;
  ASSERT_EQ(d.EncodeSubPartDef(packed), 0);
  ASSERT_GT(packed.Size(), 0u);
  EXPECT_LE(packed.Size(), 6u * 2 * 1);

  KvGenericImageDataClass other;
  ASSERT_EQ(other.ReadImageDataFromFile("pic.png", nullptr, False), 0);
  ASSERT_EQ(other.DecodeSubPartDef(packed), 0);
  EXPECT_EQ(Mask(other), expectedMask_);
  EXPECT_EQ(other.GetSubPart(), True);
  EXPECT_EQ(other.GetMaskAllOnes(), False);

  // A full mask decodes to no sub-part.
  KvGenericImageDataClass full;
  ASSERT_EQ(full.ReadImageDataFromFile("pic.png", nullptr, False), 0);
  KvDatumClass allOnes;
  ASSERT_EQ(full.EncodeSubPartDef(allOnes), 0);
  ASSERT_EQ(other.DecodeSubPartDef(allOnes), 0);
  EXPECT_EQ(other.GetSubPart(), False);
  EXPECT_EQ(Mask(other), std::string(48, '\xff'));

  // Packed bytes of another size, or cut short, are refused; the mask stays.
  KvGenericImageDataClass small;
  ASSERT_EQ(small.ReadImageDataFromFile("small.png", nullptr, False), 0);
  kvtest::ClearError();
  for (unsigned long n = 1; n < packed.Size(); ++n) {
    KvDatumClass cut;
    cut.CopyBytes(packed.Data(), n, "test");
    EXPECT_EQ(other.DecodeSubPartDef(cut), -1) << n;
  }
  EXPECT_EQ(small.DecodeSubPartDef(packed), -1);
  EXPECT_EQ(std::string(GetErrorMSG()), "KIVO error: KvImgDat::DecodeSubPartDef - transformation failure");
  EXPECT_EQ(Mask(other), std::string(48, '\xff'));
}

}  // namespace
