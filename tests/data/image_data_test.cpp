#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "KvTestUtil.h"
#include "core/KvError.h"
#include "data/KvGenericImageData.h"

namespace {

using kvtest::TempDir;

std::string Plane(const unsigned char* p, size_t n) {
  return p != nullptr ? std::string(reinterpret_cast<const char*>(p), n) : std::string("<null>");
}

std::string IndexPlane(const KvGenericImageDataClass& d) {
  return Plane(d.GetIndexPlane(), static_cast<size_t>(d.GetXSize()) * d.GetYSize());
}

std::string MaskPlane(const KvGenericImageDataClass& d) {
  return Plane(d.GetMaskPlane(), static_cast<size_t>(d.GetXSize()) * d.GetYSize());
}

// A query string framed around payload, as the writer frames it.
std::string Frame(const std::string& payload, char type = 'm', const std::string& keyword = "") {
  std::string head = "<           " + std::string(1, type) + " " + std::to_string(keyword.size()) + " " + keyword;
  std::string text = head + payload + std::string(" >\0", 3);
  char length[16];
  std::snprintf(length, sizeof length, "%9lu", static_cast<unsigned long>(text.size()));
  text.replace(2, 9, length);
  return text;
}

std::string ToText(KvGenericImageDataClass& d) {
  KvDatumClass out;
  EXPECT_EQ(d.ToQueryString(out), 0);
  return kvtest::Bytes(out);
}

// Parses text into d; the datum must outlive d's payload, so it is kept.
int Parse(KvGenericImageDataClass& d, KvDatumClass& keep, const std::string& text) {
  kvtest::SetText(keep, text);
  return d.FromQueryString(keep, "KvColorFeatureClass");
}

TEST(PickerDescription, PaintsRectangles) {
  KvGenericImageDataClass d;
  ASSERT_EQ(d.ReadPickerImageDescriptionString("D100 80 R0 0 100 80 255 255 255 R10 10 20 20 255 0 0", False), 0);
  EXPECT_EQ(d.GetType(), KV_DATA_PICKER);
  ASSERT_EQ(d.GetXSize(), 100);
  ASSERT_EQ(d.GetYSize(), 80);
  EXPECT_EQ(d.GetMaskAllOnes(), True);
  EXPECT_EQ(d.GetSubPart(), False);
  const unsigned char* lut = d.GetPalette();
  EXPECT_EQ(lut[0] & lut[256] & lut[512], 255);
  EXPECT_EQ(lut[1], 255);
  EXPECT_EQ(lut[257] | lut[513], 0);
  const unsigned char* index = d.GetIndexPlane();
  for (int y = 0; y < 80; ++y) {
    for (int x = 0; x < 100; ++x) {
      const bool red = x >= 10 && x < 30 && y >= 10 && y < 30;
      ASSERT_EQ(index[y * 100 + x], red ? 1 : 0) << x << "," << y;
    }
  }
}

TEST(PickerDescription, ClipsAndDropsRectangles) {
  struct Case {
    const char* text;
    const char* index;  // 4 x 3 canvas, row by row; '.' = not covered
  } cases[] = {
      {"D4 3 R1 1 100 100 9 9 9", ".....000.000"},     // cut at the canvas edge
      {"D4 3 R1 0 -1 1 9 9 9", ".000........"},          // negative width: rest of the row
      {"D4 3 R-2 -7 1 1 9 9 9", "0..........."},         // negative corner counts as 0
      {"D4 3 R9 9 2 2 1 1 1", "............"},           // outside: paints nothing
      {"D4 3 R0 0 2 2 1 2", "............"},             // text ends before b: dropped
      {"D4 3,R0,0,4,3,1,2,3xR1 1 1 1 4 5 6", "000001000000"},  // any separator
      {"D4 3 R0 0 4 3 1 1 1 R0 0 1 1 2 2 2", "100000000000"},  // later paints over
      {"x D4 3 zz R0 2 4 1 1 1 1", "........0000"},     // other characters skipped
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    KvGenericImageDataClass d;
    ASSERT_EQ(d.ReadPickerImageDescriptionString(c.text, True), 0);
    ASSERT_EQ(d.GetXSize(), 4);
    ASSERT_EQ(d.GetYSize(), 3);
    std::string got;
    bool covered = true;
    for (int i = 0; i < 12; ++i) {
      const bool in = d.GetMaskPlane()[i] == 0xFF;
      covered = covered && in;
      got += in ? static_cast<char>('0' + d.GetIndexPlane()[i]) : '.';
    }
    EXPECT_EQ(got, c.index);
    EXPECT_EQ(d.GetMaskAllOnes(), covered ? True : False);
    EXPECT_EQ(d.GetSubPart(), True);
  }
}

TEST(PickerDescription, EmptyDescriptionGivesEmptyCanvas) {
  KvGenericImageDataClass d;
  ASSERT_EQ(d.ReadPickerImageDescriptionString("nothing here", False), 0);
  EXPECT_EQ(d.GetType(), KV_DATA_PICKER);
  EXPECT_EQ(d.GetXSize(), 0);
  EXPECT_EQ(d.GetIndexPlane(), nullptr);
  EXPECT_EQ(d.GetMaskPlane(), nullptr);
  ASSERT_NE(d.GetPalette(), nullptr);
  EXPECT_EQ(Plane(d.GetPalette(), 768), std::string(768, '\0'));
  EXPECT_EQ(d.GetMaskAllOnes(), True);
}

TEST(PickerDescription, RefusesUnusableDescriptions) {
  std::string many = "D2 2";
  for (int i = 0; i < 257; ++i) many += " R0 0 1 1 1 1 1";
  std::string enough = "D2 2";
  for (int i = 0; i < 256; ++i) enough += " R0 0 1 1 1 1 1";
  const std::string bad[] = {
      "D0 10", "D10 0", "D10", "D-5 5", "D10 10 D5 5", "R0 0 1 1 1 1 1", "D20000 20000", many,
  };
  for (const std::string& text : bad) {
    SCOPED_TRACE(text.substr(0, 40));
    KvGenericImageDataClass d;
    kvtest::ClearError();
    EXPECT_EQ(d.ReadPickerImageDescriptionString(text.c_str(), False), 1);
    EXPECT_EQ(GetErrorMSGNumber(), KERR_General);
    EXPECT_EQ(d.GetIndexPlane(), nullptr);
    EXPECT_EQ(d.GetPalette(), nullptr);
  }
  KvGenericImageDataClass d;
  EXPECT_EQ(d.ReadPickerImageDescriptionString(enough.c_str(), False), 0);
  EXPECT_EQ(d.ReadPickerImageDescriptionString(nullptr, False), 1);
}

TEST(PickerDescription, ReadsFromFile) {
  TempDir dir;
  const std::string path = dir.File("desc.txt");
  kvtest::WriteFile(path, "D3 2\nR0 0 3 2 1 2 3\nR2 1 1 1 4 5 6\n");
  KvGenericImageDataClass d;
  ASSERT_EQ(d.ReadPickerImageDescriptionFile(path.c_str(), False), 0);
  EXPECT_EQ(IndexPlane(d), std::string("\0\0\0\0\0\1", 6));
  EXPECT_EQ(d.GetPalette()[1], 4);

  kvtest::ClearError();
  EXPECT_EQ(d.ReadPickerImageDescriptionFile(dir.File("none.txt").c_str(), False), 1);
  EXPECT_EQ(GetErrorMSGNumber(), KERR_OpenFile);
  EXPECT_EQ(std::string(GetErrorMSG()),
            "KvImgDat::ReadPickerImageDescriptionFile: Unable to open file: " + dir.File("none.txt") + ".");
}

TEST(ImageData, AdoptsMemoryPlanes) {
  KvGenericImageDataClass d;
  unsigned char index[6] = {1, 2, 3, 4, 5, 6}, lut[768] = {}, mask[6] = {255, 255, 255, 255, 255, 255};
  EXPECT_EQ(d.GetImageDataFromMemory(0, 2, index, lut, mask, False, False), 1);
  EXPECT_EQ(d.GetImageDataFromMemory(3, 2, nullptr, lut, mask, False, False), 1);
  EXPECT_EQ(d.GetImageDataFromMemory(3, 2, index, lut, nullptr, False, False), 1);
  EXPECT_EQ(d.GetImageDataFromMemory(1ul << 20, 1ul << 20, index, lut, mask, False, False), 1);
  ASSERT_EQ(d.GetImageDataFromMemory(3, 2, index, lut, mask, True, False), 0);
  EXPECT_EQ(d.GetIndexPlane(), index);
  EXPECT_EQ(d.GetMaskAllOnes(), True);
  mask[4] = 0;
  ASSERT_EQ(d.GetImageDataFromMemory(3, 2, index, lut, mask, True, False), 0);
  EXPECT_EQ(d.GetMaskAllOnes(), False);

  // Owned planes are released by the object (the leak checker watches this).
  auto* ownedIndex = static_cast<unsigned char*>(KvNew(6, "test", KERR_Fatal));
  auto* ownedLut = static_cast<unsigned char*>(KvCNew(768, 1, "test", KERR_Fatal));
  auto* ownedMask = static_cast<unsigned char*>(KvCNew(6, 1, "test", KERR_Fatal));
  ASSERT_EQ(d.GetImageDataFromMemory(3, 2, ownedIndex, ownedLut, ownedMask, False, True), 0);
}

TEST(ImageData, PickerQueryStringRoundTrip) {
  KvGenericImageDataClass d;
  ASSERT_EQ(d.ReadPickerImageDescriptionString("D3 2 R0 0 2 1 255 16 1", True), 0);
  ASSERT_EQ(d.SetKeywordText("sun sea"), 0);
  const std::string text = ToText(d);
  std::string lut(1536, '0');
  lut.replace(0, 2, "ff");
  lut.replace(512, 2, "10");
  lut.replace(1024, 2, "01");
  EXPECT_EQ(text, Frame("xsize= 3 ysize= 2 subPart= 1 mask= ffff00000000 lut= " + lut +
                            " image= 000000000000 ",
                        'p', "sun sea"));

  KvGenericImageDataClass back;
  KvDatumClass keep;
  ASSERT_EQ(Parse(back, keep, text), 0);
  EXPECT_EQ(back.GetType(), KV_DATA_PICKER);
  EXPECT_STREQ(back.GetKeywordText(), "sun sea");
  EXPECT_EQ(back.GetXSize(), 3);
  EXPECT_EQ(back.GetSubPart(), True);
  EXPECT_EQ(back.GetMaskAllOnes(), False);
  EXPECT_EQ(MaskPlane(back), MaskPlane(d));
  EXPECT_EQ(IndexPlane(back), IndexPlane(d));
  EXPECT_EQ(Plane(back.GetPalette(), 768), Plane(d.GetPalette(), 768));
  EXPECT_EQ(ToText(back), text);
}

TEST(ImageData, ColourPlanesAndMaskAllOnesRoundTrip) {
  std::string lut;
  for (int i = 0; i < 768; ++i) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02x", (i * 7) & 0xFF);
    lut += hex;
  }
  const std::string payload = "xsize= 2 ysize= 2 subPart= 0 mask= MaskAllOnes lut= " + lut +
                              " image= 00010203 redImage= a0a1a2a3 greenImage= b0b1b2b3 blueImage= c0c1c2ff ";
  KvGenericImageDataClass d;
  KvDatumClass keep;
  ASSERT_EQ(Parse(d, keep, Frame(payload)), 0);
  EXPECT_EQ(MaskPlane(d), std::string(4, '\xff'));
  EXPECT_EQ(d.GetMaskAllOnes(), True);
  EXPECT_EQ(Plane(d.GetBluePlane(), 4), "\xc0\xc1\xc2\xff");
  EXPECT_EQ(Plane(d.GetRedPlane(), 4), "\xa0\xa1\xa2\xa3");
  EXPECT_EQ(ToText(d), Frame(payload));

  // Upper-case digits read as well.
  KvGenericImageDataClass upper;
  KvDatumClass keepUpper;
  std::string shouting = payload;
  shouting.replace(shouting.find("c0c1c2ff"), 8, "C0C1C2FF");
  ASSERT_EQ(Parse(upper, keepUpper, Frame(shouting)), 0);
  EXPECT_EQ(Plane(upper.GetBluePlane(), 4), "\xc0\xc1\xc2\xff");
}

TEST(ImageData, EveryTruncatedPayloadIsRefusedOrConsistent) {
  KvGenericImageDataClass d;
  ASSERT_EQ(d.ReadPickerImageDescriptionString("D5 4 R1 1 3 2 10 20 30 R0 0 1 1 40 50 60", False), 0);
  KvDatumClass out;
  ASSERT_EQ(d.ToQueryString(out), 0);
  const std::string payload = kvtest::Bytes(d.GetDataDatum());
  const std::string whole = kvtest::Bytes(out);
  int accepted = 0;
  for (size_t n = 0; n < payload.size(); ++n) {
    KvGenericImageDataClass back;
    KvDatumClass keep;
    if (Parse(back, keep, Frame(payload.substr(0, n), 'p')) != 0) {
      EXPECT_EQ(back.GetIndexPlane(), nullptr);
      EXPECT_EQ(back.GetPalette(), nullptr);
      continue;
    }
    // Only the final blank may go missing.
    ++accepted;
    EXPECT_EQ(n, payload.size() - 1);
    EXPECT_EQ(IndexPlane(back), IndexPlane(d));
    EXPECT_EQ(MaskPlane(back), MaskPlane(d));
  }
  EXPECT_EQ(accepted, 1);
  // Cutting the whole query string anywhere never reads past it.
  for (size_t n = 0; n < whole.size(); ++n) {
    KvGenericImageDataClass back;
    KvDatumClass keep;
    Parse(back, keep, whole.substr(0, n));
  }
}

TEST(ImageData, RefusesHostilePayloads) {
  const std::string lut(1536, '0');
  const std::string good = "xsize= 2 ysize= 1 subPart= 0 mask= MaskAllOnes lut= " + lut + " image= 0102 ";
  struct Case {
    std::string payload;
    const char* message;  // expected error text after "KIVO error: "
  } cases[] = {
      {"xsize= 2 ysize= 1 subPart= 0 mask= ffff lut= " + lut + " image= 010", "KvImgDat::FromQueryString: plane shorter than the image size: image="},
      {"xsize= 2 ysize= 1 subPart= 0 mask= ffff lut= " + lut + " image= 010203", "KvString:DecodeBuffer found more data than requested"},
      {"xsize= 2 ysize= 1 subPart= 0 mask= ffff lut= " + lut + " image= 01zz", "KvImgDat::FromQueryString: non-hex digit in plane image="},
      {"xsize= 2 ysize= 1 subPart= 0 mask= ffff lut= " + lut + " image=", "KvImgDat::FromQueryString: value missing after image="},
      {"xsize= 2 ysize= 1 subPart= 0 mask= ffff lut= " + lut.substr(2), "KvImgDat::FromQueryString: plane shorter than the image size: lut="},
      {"xsize= 2 ysize= 1 subPart= 0 mask= ffff lut= " + lut, "KvImgDat::FromQueryString: image, palette or mask missing"},
      {"xsize= 100000 ysize= 100000 image= 00", "KvImgDat::FromQueryString: image larger than 2^28 pixels"},
      {"xsize= 999999999999 ysize= 1", "KvImgDat::FromQueryString: image size out of range"},
      {"xsize= -4 ysize= 1", "KvImgDat::FromQueryString: image size out of range"},
      {"xsize= 2x ysize= 1", "KvImgDat::FromQueryString: malformed number after xsize="},
      {"xsize= 2 image= 0102", "KvImgDat::FromQueryString: plane given before the image size: image="},
      {"xsize= 2 ysize= 1 mask= ffff xsize= 3", "KvImgDat::FromQueryString: image size given after its planes"},
      {"xsize= 2 ysize= 1 mask= ffff mask= ffff", "KvImgDat::FromQueryString: plane given twice: mask="},
      {"ysize= 0 subPart= 0", "KvImgDat::FromQueryString: image size missing"},
      {"xsize= 0 ysize= 3", "KvImgDat::FromQueryString: one image size is 0"},
      {"", "KvImgDat::FromQueryString: image size missing"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.payload.substr(0, 60));
    KvGenericImageDataClass d;
    KvDatumClass keep;
    kvtest::ClearError();
    EXPECT_EQ(Parse(d, keep, Frame(c.payload)), -1);
    EXPECT_EQ(GetErrorMSGNumber(), KERR_General);
    EXPECT_EQ(std::string(GetErrorMSG()), std::string("KIVO error: ") + c.message);
    EXPECT_EQ(d.GetIndexPlane(), nullptr);
    EXPECT_EQ(d.GetXSize(), 0);
  }
  KvGenericImageDataClass d;
  KvDatumClass keep;
  EXPECT_EQ(Parse(d, keep, Frame("unknown= zz " + good)), 0);  // unknown keys are skipped
}

TEST(ImageData, RefusesQueryStringsPastTheFrame) {
  // 20000 x 13000 pixels: index and mask in hex alone pass 999,999,999 bytes.
  // Planes are never read before the refusal; a first mask byte of 0 keeps
  // the mask scan short.
  unsigned char index[1] = {0}, mask[1] = {0}, lut[768] = {};
  KvGenericImageDataClass d;
  ASSERT_EQ(d.GetImageDataFromMemory(20000, 13000, index, lut, mask, False, False), 0);
  KvDatumClass out;
  kvtest::ClearError();
  EXPECT_EQ(d.ToQueryString(out), -1);
  EXPECT_EQ(out.Data(), nullptr);
  EXPECT_EQ(std::string(GetErrorMSG()),
            "KIVO error: KvImgDat::ToQueryString: image of 20000 x 13000 is too large for a query string");
  d.Reset();
}

TEST(ImageData, UnsetObjectWritesNothing) {
  KvGenericImageDataClass d;
  KvDatumClass out;
  EXPECT_EQ(d.ToQueryString(out), -1);
  EXPECT_EQ(d.GetClassId(), 171001u);
  EXPECT_TRUE(d.IsClass("KvGenericImageDataClass"));
}

TEST(ImageData, SubPartDefinitionNeedsAMask) {
  KvGenericImageDataClass d;
  KvDatumClass out;
  kvtest::ClearError();
  EXPECT_EQ(d.EncodeSubPartDef(out), -1);
  EXPECT_EQ(std::string(GetErrorMSG()),
            "KIVO error: KvImgDat::EncodeSubPartDef - invalid image data: xsize(0), ysize(0), mask is NULL");
  EXPECT_EQ(d.DecodeSubPartDef(out), -1);
  EXPECT_EQ(std::string(GetErrorMSG()),
            "KIVO error: KvImgDat::DecodeSubPartDef - image dimensions suggest image not initialised - Xsize=0, Ysize=0");
  ASSERT_EQ(d.ReadPickerImageDescriptionString("D4 4 R0 0 2 2 1 1 1", False), 0);
  KvDatumClass empty;
  EXPECT_EQ(d.DecodeSubPartDef(empty), -1);
  EXPECT_EQ(std::string(GetErrorMSG()), "KIVO error: KvImgDat::DecodeSubPartDef - Invalid subPartDatum supplied");
}

}  // namespace

// A short hostile payload declaring a huge image with an all-ones mask and no
// planes is refused without allocating a mask of the declared size.
TEST(ImageDataText, HugeMaskAllOnesWithoutPlanesIsRefused) {
  const std::string payload = "xsize= 16384 ysize= 16384 subPart= 0 mask= MaskAllOnes ";
  std::string text = "<           m 0 " + payload + " >" + std::string(1, '\0');
  char length[16];
  std::snprintf(length, sizeof length, "%9lu", static_cast<unsigned long>(text.size()));
  text.replace(2, 9, length);
  KvDatumClass in;
  in.CopyBytes(text.data(), text.size(), "test");
  KvGenericImageDataClass d;
  EXPECT_NE(d.FromQueryString(in, "KvColorFeatureClass"), 0);
  EXPECT_EQ(d.GetMaskPlane(), nullptr);
}
