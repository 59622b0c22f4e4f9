// Match files: the synthetic query images, the conversion of the most recent
// query object into a query text (compared with the text built from the same
// objects directly), and files that are truncated, lie about their lengths or
// hold no query object.
#include <cmath>
#include <cstring>
#include <functional>
#include <map>

#include "KvImageFixtures.h"
#include "QueryFixture.h"
#include "features/KvColorSpace.h"
#include "query/KvMatchFile.h"

namespace {

constexpr int kPicture = kKvDrawWidth * kKvDrawHeight;

struct SlotSpec {
  int16_t used;
  int32_t source;
  float weight;
};

struct MixSpec {
  int16_t index;
  float fraction;
};

// One record of a match file, as a program that keeps such files writes it.
struct Record {
  int16_t kind = 0;  // 0: query object
  std::vector<SlotSpec> slots;
  std::string block1;
  std::string picture;
  unsigned char background = 0;
  uint16_t red = 0, green = 0, blue = 0;
  MixSpec mix[5] = {{-1, 0.0f}, {-1, 0.0f}, {-1, 0.0f}, {-1, 0.0f}, {-1, 0.0f}};
  std::string names[6];
};

// Little-endian writer that remembers where labelled fields begin, so tests
// can make a field lie.
class Writer {
 public:
  void I16(int v) { Raw(static_cast<uint32_t>(v), 2); }
  void I32(int64_t v) { Raw(static_cast<uint32_t>(v), 4); }
  void F32(float f) {
    uint32_t v;
    std::memcpy(&v, &f, 4);
    Raw(v, 4);
  }
  void Block(const std::string& bytes, const char* label = nullptr) {
    if (label != nullptr) at[label] = out.size();
    I32(static_cast<int64_t>(bytes.size()));
    out += bytes;
  }
  void Name(const std::string& name, const char* label) { Block(name.empty() ? std::string() : name + '\0', label); }

  void Header(int scenes, int queries) {
    at["S"] = out.size();
    at["Q"] = out.size() + 4;
    I32(scenes);
    I32(queries);
  }
  void Add(const Record& r) {
    I32(0x11111111);
    I32(0x22222222);
    I16(r.kind);
    for (const SlotSpec& s : r.slots) {
      I16(s.used);
      I16(0x3333);
      I32(s.source);
      F32(s.weight);
    }
    if (r.kind == 0) {
      Block(r.block1, "block1");
      Block(r.picture, "picture");
      out += static_cast<char>(r.background);
    } else {
      out += std::string(12, '\x44');
    }
    I16(0x5555);
    I16(r.red);
    I16(r.green);
    I16(r.blue);
    for (const MixSpec& m : r.mix) {
      I16(m.index);
      I16(0x6666);
      F32(m.fraction);
    }
    Block("ab", "unused1");
    Block("cde");
    out += '\x77';
    Block("f");
    const char* labels[6] = {"name0", "name1", "name2", "name3", "name4", "name5"};
    for (int i = 0; i < 6; ++i) Name(r.names[i], labels[i]);
  }
  // Overwrites the 32-bit field at the label.
  void Patch(const char* label, int64_t v) {
    const uint32_t u = static_cast<uint32_t>(v);
    for (int i = 0; i < 4; ++i) out[at.at(label) + static_cast<size_t>(i)] = static_cast<char>(u >> (8 * i));
  }

  std::string out;
  std::map<std::string, size_t> at;

 private:
  void Raw(uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
  }
};

// A query object with drawn examples in slots 0 (colour), 1 (colour mix) and
// optionally 4 (drawn picture).
Record DrawnQuery(bool withPicture) {
  Record r;
  r.slots = {{1, 0, 2.0f}, {1, 0, 0.5f}, {0, 0, 1.0f}, {0, 0, 1.0f}, {withPicture ? int16_t(1) : int16_t(0), 0, 1.5f},
             {0, 0, 1.0f}};
  r.block1 = "xyz";
  if (withPicture) {
    r.picture.assign(kPicture, '\x07');
    for (int i = 0; i < kPicture; i += 5) r.picture[static_cast<size_t>(i)] = static_cast<char>(i % 200);
    r.background = 7;
  }
  r.red = 65535;
  r.green = 32768;
  r.blue = 0;
  r.mix[0] = {12, 0.25f};
  r.mix[2] = {40, 0.5f};
  return r;
}

// The text KvBuildQueryString makes of these features, weights and images.
std::string Expected(std::vector<const char*> names, const std::vector<float>& weights,
                     std::vector<KvGenericImageDataClass*> images, int n = 20) {
  std::vector<std::unique_ptr<KvParameterClass>> parms;
  std::vector<KvParameterClass*> p;
  std::vector<KvGenericDataClass*> d(images.begin(), images.end());
  for (size_t i = 0; i < names.size(); ++i) {
    std::unique_ptr<KvFeatureClass> f(KvCreateFeatureClass(names[i]));
    parms.emplace_back(new KvParameterClass);
    *parms.back() = *f->GetParameters();
    parms.back()->SetW(weights[i]);
    p.push_back(parms.back().get());
  }
  KvDatumClass out;
  EXPECT_EQ(KvBuildQueryString(n, "shots", nullptr, nullptr, static_cast<int>(names.size()), names.data(), p.data(),
                               d.data(), out),
            0);
  return kvtest::Bytes(out);
}

class MatchFile : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(qtest::Connection(), nullptr);
    ASSERT_EQ(KvColorInitialize(), 0);
  }
  // Writes the file and converts it; the text, or "" when it failed (then
  // out must still hold what it held before).
  int Convert(const std::string& bytes, std::string* text, int n = 20) {
    const std::string path = dir_.File("match.bin");
    kvtest::WriteFile(path, bytes);
    KvDatumClass out;
    out.CopyBytes("untouched", 10, "test");
    kvtest::ClearError();
    const int rc = KvConvertQueryFromMatchFile(nullptr, path.c_str(), out, "shots", n);
    *text = kvtest::Bytes(out);
    if (rc != 0) {
      EXPECT_EQ(*text, std::string("untouched", 10));
      text->clear();
    }
    return rc;
  }

  kvtest::TempDir dir_{"match"};
};

TEST_F(MatchFile, SingleColourImage) {
  KvGenericImageDataClass image;
  ASSERT_EQ(KvMakeGenImageFromColor(&image, KvMatchColor{65535, 32768, 0}), 0);
  ASSERT_EQ(image.GetXSize(), 1);
  ASSERT_EQ(image.GetYSize(), 1);
  const unsigned char* palette = image.GetPalette();
  EXPECT_EQ(palette[0], 255);
  EXPECT_EQ(palette[256], 128);
  EXPECT_EQ(palette[512], 0);
  for (int i = 1; i < 256; ++i) EXPECT_EQ(palette[i] | palette[256 + i] | palette[512 + i], 0) << i;
  EXPECT_EQ(image.GetIndexPlane()[0], 0);
  EXPECT_EQ(image.GetMaskPlane()[0], 255);
}

TEST_F(MatchFile, ColourMixImages) {
  struct Case {
    std::vector<MixSpec> mix;
    std::vector<std::pair<int, int>> runs;  // (index, count) in order; index -1: masked out
  };
  const Case cases[] = {
      {{{12, 0.25f}, {40, 0.5f}}, {{12, 25}, {40, 50}, {-1, 25}}},
      {{{-1, 0.9f}, {3, 1.0f}}, {{3, 100}}},
      // The product is truncated: 0.29f and 0.02f are a little below 0.29
      // and 0.02, 0.01f a little below 0.01.
      {{{5, 0.29f}, {6, 0.02f}, {7, 0.01f}}, {{5, 28}, {6, 1}, {-1, 71}}},
      // Shares adding up to more than the image stop at its end.
      {{{1, 0.75f}, {2, 0.5f}, {3, 0.5f}}, {{1, 75}, {2, 25}}},
      // Negative, not-a-number and huge shares give no pixels; index 300 keeps its low byte.
      {{{1, -0.5f}, {2, NAN}, {300, 0.1f}, {4, INFINITY}}, {{44, 10}, {-1, 90}}},
  };
  const unsigned char* lut = KvGetRGBHistogramLut();
  ASSERT_NE(lut, nullptr);
  for (const Case& c : cases) {
    KvMatchColorMix mix[5] = {{-1, 0.0f}, {-1, 0.0f}, {-1, 0.0f}, {-1, 0.0f}, {-1, 0.0f}};
    for (size_t i = 0; i < c.mix.size(); ++i) mix[i] = {c.mix[i].index, c.mix[i].fraction};
    KvGenericImageDataClass image;
    ASSERT_EQ(KvMakeGenImageFromHistColor(&image, mix), 0);
    ASSERT_EQ(image.GetXSize(), 1);
    ASSERT_EQ(image.GetYSize(), 100);
    EXPECT_EQ(std::memcmp(image.GetPalette(), lut, 768), 0);
    std::vector<std::pair<int, int>> runs;
    for (int i = 0; i < 100; ++i) {
      const int v = image.GetMaskPlane()[i] == 255 ? image.GetIndexPlane()[i] : -1;
      if (image.GetMaskPlane()[i] == 0) {
        EXPECT_EQ(image.GetIndexPlane()[i], 0);
      }
      if (runs.empty() || runs.back().first != v) runs.emplace_back(v, 0);
      ++runs.back().second;
    }
    EXPECT_EQ(runs, c.runs);
  }
}

TEST_F(MatchFile, DrawnPictureImage) {
  std::string picture(kPicture, '\x09');
  picture[0] = 3;
  picture[kPicture - 1] = 4;
  picture[300] = 9;  // the background colour itself is not drawn
  KvGenericImageDataClass image;
  ASSERT_EQ(KvMakeGenImageFromDrawColor(&image, reinterpret_cast<const unsigned char*>(picture.data()), 9), 0);
  ASSERT_EQ(image.GetXSize(), kKvDrawWidth);
  ASSERT_EQ(image.GetYSize(), kKvDrawHeight);
  EXPECT_EQ(std::memcmp(image.GetPalette(), KvGetRGBHistogramLut(), 768), 0);
  int drawn = 0;
  for (int i = 0; i < kPicture; ++i) {
    EXPECT_EQ(image.GetIndexPlane()[i], static_cast<unsigned char>(picture[static_cast<size_t>(i)]));
    drawn += image.GetMaskPlane()[i] == 255;
  }
  EXPECT_EQ(drawn, 2);
  EXPECT_EQ(image.GetMaskPlane()[0], 255);
  EXPECT_EQ(image.GetMaskPlane()[300], 0);
  EXPECT_EQ(KvMakeGenImageFromDrawColor(&image, nullptr, 0), -1);
}

TEST_F(MatchFile, DrawnExamplesBecomeTerms) {
  Writer w;
  w.Header(3, 6);
  w.Add(DrawnQuery(true));
  std::string text;
  ASSERT_EQ(Convert(w.out, &text, 15), 0) << GetErrorMSG();

  KvGenericImageDataClass color, mix, drawn;
  const Record r = DrawnQuery(true);
  KvMakeGenImageFromColor(&color, KvMatchColor{r.red, r.green, r.blue});
  KvMatchColorMix m[5];
  for (int i = 0; i < 5; ++i) m[i] = {r.mix[i].index, r.mix[i].fraction};
  KvMakeGenImageFromHistColor(&mix, m);
  KvMakeGenImageFromDrawColor(&drawn, reinterpret_cast<const unsigned char*>(r.picture.data()), r.background);
  EXPECT_EQ(text, Expected({qtest::kColor, qtest::kHistogram, "KvDrawFeatureClass"}, {2.0f, 0.5f, 1.5f},
                           {&color, &mix, &drawn}, 15));
  EXPECT_EQ(text.compare(0, 15, "query 15 shots\n"), 0);
  EXPECT_NE(text.find("W=2.000000"), std::string::npos);
}

TEST_F(MatchFile, MostRecentQueryObjectIsConverted) {
  Writer w;
  w.Header(2, 2);
  Record first;
  first.slots = {{1, 0, 1.0f}, {0, 0, 1.0f}};
  first.red = 1000;
  w.Add(first);
  Record scene;
  scene.kind = 3;
  scene.slots = {{1, 1, 9.0f}, {1, 1, 9.0f}};
  w.Add(scene);
  Record second;
  second.slots = {{0, 0, 1.0f}, {1, 0, 3.0f}};
  second.mix[0] = {200, 1.0f};
  w.Add(second);
  w.Add(scene);
  std::string text;
  ASSERT_EQ(Convert(w.out, &text), 0) << GetErrorMSG();
  KvGenericImageDataClass mix;
  KvMatchColorMix m[5] = {{200, 1.0f}, {-1, 0.0f}, {-1, 0.0f}, {-1, 0.0f}, {-1, 0.0f}};
  KvMakeGenImageFromHistColor(&mix, m);
  EXPECT_EQ(text, Expected({qtest::kHistogram}, {3.0f}, {&mix}));
}

TEST_F(MatchFile, ImageFileSourcesAndTextureWithoutImage) {
  const std::string photo = dir_.File("photo.png");
  ASSERT_TRUE(kvtest::WriteRgbPicture(photo, 24, 16, IFF_PNG));
  Writer w;
  w.Header(0, 3);
  Record r;
  // Slot 1 reads the histogram name; slot 2 (texture) is drawn, so it has
  // no image at all.
  r.slots = {{0, 1, 1.0f}, {1, 1, 1.0f}, {1, 0, 4.0f}};
  r.names[0] = dir_.File("not-this-one.png");
  r.names[1] = photo;
  w.Add(r);
  std::string text;
  ASSERT_EQ(Convert(w.out, &text), 0) << GetErrorMSG();
  KvGenericImageDataClass image, empty;
  ASSERT_EQ(image.ReadImageDataFromFile(photo.c_str(), nullptr, False), 0);
  ASSERT_EQ(empty.ReadPickerImageDescriptionString("", False), 0);
  EXPECT_EQ(text, Expected({qtest::kHistogram, qtest::kTexture}, {1.0f, 4.0f}, {&image, &empty}));

  // A named image that cannot be read fails the conversion.
  Writer missing;
  missing.Header(0, 1);
  Record m;
  m.slots = {{1, 1, 1.0f}};
  m.names[0] = dir_.File("absent.png");
  missing.Add(m);
  EXPECT_NE(Convert(missing.out, &text), 0);
}

TEST_F(MatchFile, EveryTruncationFailsWithoutText) {
  Writer w;
  w.Header(1, 2);
  Record r;
  r.slots = {{1, 0, 1.0f}, {1, 0, 1.0f}};
  r.mix[0] = {12, 0.5f};
  r.names[0] = "a.png";
  r.names[5] = "drawn.png";
  w.Add(r);
  std::string text;
  ASSERT_EQ(Convert(w.out, &text), 0) << GetErrorMSG();
  for (size_t n = 0; n < w.out.size(); ++n) {
    EXPECT_NE(Convert(w.out.substr(0, n), &text), 0) << n;
  }
  // Cut inside the drawn picture of a larger file.
  Writer big;
  big.Header(0, 6);
  big.Add(DrawnQuery(true));
  const size_t picture = big.at.at("picture") + 4;
  for (size_t n : {picture - 2, picture, picture + 1000, picture + kPicture - 1, big.out.size() - 1}) {
    EXPECT_NE(Convert(big.out.substr(0, n), &text), 0) << n;
  }
}

TEST_F(MatchFile, MalformedFilesFail) {
  struct Case {
    const char* what;
    std::function<void(Writer&)> make;
    KERR_Type error;
  };
  auto valid = [](Writer& w, int q = 6) {
    w.Header(0, q);
    Record r = DrawnQuery(true);
    r.slots.resize(static_cast<size_t>(q), SlotSpec{0, 0, 1.0f});
    w.Add(r);
  };
  const Case cases[] = {
      {"empty file", [](Writer&) {}, KERR_General},
      {"header only", [](Writer& w) { w.Header(0, 6); }, KERR_General},
      {"scene objects only",
       [](Writer& w) {
         w.Header(1, 1);
         Record s;
         s.kind = 1;
         s.slots = {{1, 0, 1.0f}};
         w.Add(s);
       },
       KERR_General},
      {"seven query slots", [&](Writer& w) { valid(w, 6), w.Patch("Q", 7); }, KERR_General},
      {"negative scene count", [&](Writer& w) { valid(w), w.Patch("S", -1); }, KERR_General},
      {"picture one byte too long", [&](Writer& w) { valid(w), w.Patch("picture", kPicture + 1); }, KERR_General},
      {"picture length negative", [&](Writer& w) { valid(w), w.Patch("picture", -1); }, KERR_General},
      {"picture length 2^31 - 1", [&](Writer& w) { valid(w), w.Patch("picture", 0x7FFFFFFF); }, KERR_General},
      {"unused block of 2 GB", [&](Writer& w) { valid(w), w.Patch("block1", 0x7FFFFFFF); }, KERR_General},
      {"unused block longer than the file", [&](Writer& w) { valid(w), w.Patch("unused1", 1 << 20); }, KERR_General},
      {"name of 129 bytes",
       [&](Writer& w) {
         w.Header(0, 1);
         Record r;
         r.slots = {{1, 0, 1.0f}};
         r.names[0] = std::string(128, 'n');
         w.Add(r);
       },
       KERR_General},
      {"draw name of 641 bytes",
       [&](Writer& w) {
         w.Header(0, 1);
         Record r;
         r.slots = {{1, 0, 1.0f}};
         r.names[5] = std::string(640, 'n');
         w.Add(r);
       },
       KERR_General},
      {"drawn picture missing for a used draw slot",
       [&](Writer& w) {
         w.Header(0, 6);
         Record r = DrawnQuery(false);
         r.slots[4].used = 1;
         w.Add(r);
       },
       KERR_General},
      {"slot 3 used",
       [&](Writer& w) {
         w.Header(0, 4);
         Record r;
         r.slots = {{0, 0, 1.0f}, {0, 0, 1.0f}, {0, 0, 1.0f}, {1, 0, 1.0f}};
         w.Add(r);
       },
       KERR_General},
      {"weight not a number",
       [&](Writer& w) {
         w.Header(0, 1);
         Record r;
         r.slots = {{1, 0, NAN}};
         w.Add(r);
       },
       KERR_General},
      {"trailing bytes after the last record", [&](Writer& w) { valid(w), w.out += "xy"; }, KERR_General},
  };
  for (const Case& c : cases) {
    Writer w;
    c.make(w);
    std::string text;
    EXPECT_NE(Convert(w.out, &text), 0) << c.what;
    EXPECT_EQ(GetErrorMSGNumber(), c.error) << c.what << ": " << GetErrorMSG();
  }
}

// The sketch slot (5) is measured by the draw feature: from the sketch's
// image file (the fourth name, not the draw name), or from the drawn picture.
TEST_F(MatchFile, SketchSlotIsMeasuredByTheDrawFeature) {
  const std::string sketch = dir_.File("sketch.png");
  ASSERT_TRUE(kvtest::WriteRgbPicture(sketch, 30, 20, IFF_PNG));
  Writer fromFile;
  fromFile.Header(0, 6);
  Record r;
  r.slots = {{0, 0, 1.0f}, {0, 0, 1.0f}, {0, 0, 1.0f}, {0, 0, 1.0f}, {0, 0, 1.0f}, {1, 1, 2.5f}};
  r.names[3] = sketch;
  r.names[5] = dir_.File("not-the-draw-name.png");
  fromFile.Add(r);
  std::string text;
  ASSERT_EQ(Convert(fromFile.out, &text), 0) << GetErrorMSG();
  KvGenericImageDataClass image;
  ASSERT_EQ(image.ReadImageDataFromFile(sketch.c_str(), nullptr, False), 0);
  EXPECT_EQ(text, Expected({"KvDrawFeatureClass"}, {2.5f}, {&image}));

  // Drawn, beside a drawn draw slot: both terms measure the drawn picture.
  Writer drawn;
  drawn.Header(0, 6);
  Record d = DrawnQuery(true);
  d.slots[0].used = d.slots[1].used = 0;
  d.slots[5] = {1, 0, 0.75f};
  drawn.Add(d);
  ASSERT_EQ(Convert(drawn.out, &text), 0) << GetErrorMSG();
  KvGenericImageDataClass picture;
  ASSERT_EQ(KvMakeGenImageFromDrawColor(&picture, reinterpret_cast<const unsigned char*>(d.picture.data()),
                                        d.background),
            0);
  EXPECT_EQ(text, Expected({"KvDrawFeatureClass", "KvDrawFeatureClass"}, {1.5f, 0.75f}, {&picture, &picture}));

  // Drawn without a picture: malformed, as for the draw slot.
  Writer bare;
  bare.Header(0, 6);
  Record b;
  b.slots = {{0, 0, 1.0f}, {0, 0, 1.0f}, {0, 0, 1.0f}, {0, 0, 1.0f}, {0, 0, 1.0f}, {1, 0, 1.0f}};
  bare.Add(b);
  EXPECT_NE(Convert(bare.out, &text), 0);
  EXPECT_STREQ(GetErrorMSG(), "KIVO error: KvCvtQry: drawn picture has the wrong size");
}

TEST_F(MatchFile, UnopenableFileAndNullStream) {
  KvDatumClass out;
  testing::internal::CaptureStderr();
  const std::string path = dir_.File("nowhere.bin");
  EXPECT_NE(KvConvertQueryFromMatchFile(nullptr, path.c_str(), out, "shots", 10), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: File " + path + " cannot be found.");
  EXPECT_EQ(out.Data(), nullptr);
  EXPECT_EQ(GetErrorMSGNumber(), KERR_OpenFile);

  kvtest::ClearError();
  EXPECT_EQ(readQueryObjectsScenesNoX(nullptr), -1);
  EXPECT_EQ(GetErrorMSGNumber(), KERR_NullFile);
  EXPECT_EQ(GetErrorMSGSeverity(), KERR_Fatal);
  EXPECT_STREQ(GetErrorMSG(), "in readQueryObjectsScenesNoX: NULL file descriptor: KvCvtQry.");
}

}  // namespace
