// Sub-part records: parent lists, definitions, removal, garbled records.
#include <cstring>
#include <string>

#include "CatalogFixture.h"

namespace {

using kvtest::TestImage;

// A data object whose sub-part definition is a plain byte string, so the
// sub-part catalog can be tested apart from mask packing.
class MaskData : public KvGenericDataClass {
 public:
  explicit MaskData(std::string mask = "") : mask_(std::move(mask)) {}
  int EncodeSubPartDef(KvDatumClass& out) const override {
    if (mask_.empty()) return -1;
    return out.CopyBytes(mask_.data(), mask_.size(), "test");
  }
  int DecodeSubPartDef(const KvDatumClass& in) override {
    decoded_ = kvtest::Bytes(in);
    SetSubPart(True);
    return 0;
  }
  const std::string& decoded() const { return decoded_; }

 private:
  std::string mask_;
  std::string decoded_;
};

class SubPartTest : public kvtest::CatalogTest {
 protected:
  std::optional<std::string> Index(const char* key) { return RawGet("SubPIdx.test", key); }
  static std::string Text(const std::string& s) { return s + std::string(1, '\0'); }
  std::string Keys(const char* parent, unsigned long* count = nullptr) {
    KvDatumClass out;
    unsigned long n = 0;
    if (catalog_->GetSubPartKeys(parent, &n, out) != 0) return "(none)";
    if (count != nullptr) *count = n;
    return kvtest::Bytes(out);
  }
  MaskData mask_{std::string("\x01\xab\x00\xff", 4)};
};

TEST_F(SubPartTest, ParentListsFollowTheSubParts) {
  ASSERT_EQ(catalog_->AddSubPartRecord("p", "s1", &mask_), 0);
  EXPECT_EQ(Index("p"), Text("1 s1"));
  EXPECT_EQ(Index("s1"), Text("p 01ab00ff"));
  ASSERT_EQ(catalog_->AddSubPartRecord("p", "s2", &mask_), 0);
  ASSERT_EQ(catalog_->AddSubPartRecord("p", "s1", &mask_), 0);  // already listed
  EXPECT_EQ(Index("p"), Text("2 s1 s2"));
  unsigned long count = 0;
  EXPECT_EQ(Keys("p", &count), "s1 s2");
  EXPECT_EQ(count, 2u);
  KvDatumClass parent;
  ASSERT_EQ(catalog_->GetSubPartParent("s2", parent), 0);
  EXPECT_EQ(kvtest::Bytes(parent), Text("p"));

  EXPECT_EQ(catalog_->DeleteSubPartRecord("s1"), 0);
  EXPECT_EQ(Index("p"), Text("1 s2"));
  EXPECT_FALSE(Index("s1").has_value());
  EXPECT_EQ(catalog_->DeleteSubPartRecord("s2"), 0);
  EXPECT_FALSE(Index("p").has_value());
  EXPECT_FALSE(Index("s2").has_value());
  EXPECT_EQ(catalog_->GetSubPartParent("s2", parent), 1);
  EXPECT_EQ(catalog_->DeleteSubPartRecord("s2"), 1);
}

TEST_F(SubPartTest, KeysAreComparedAsWholeWords) {
  const struct {
    const char* added[3];
    const char* removed;
    const char* left;
  } cases[] = {
      {{"s10", "s1", nullptr}, "s1", "1 s10"},
      {{"s1", "s10", nullptr}, "s1", "1 s10"},
      {{"s1", "s10", nullptr}, "s10", "1 s1"},
      {{"as1", "s1", "s1a"}, "s1", "2 as1 s1a"},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(catalog_->CreateCatalog("test", 0, 0), 0);
    for (const char* s : c.added) {
      if (s != nullptr) {
        ASSERT_EQ(catalog_->AddSubPartRecord("p", s, &mask_), 0) << s;
      }
    }
    EXPECT_EQ(catalog_->DeleteSubPartRecord(c.removed), 0);
    EXPECT_EQ(Index("p"), Text(c.left)) << c.removed;
    for (const char* s : c.added) {
      if (s != nullptr && std::strcmp(s, c.removed) != 0) catalog_->DeleteSubPartRecord(s);
    }
    EXPECT_FALSE(Index("p").has_value());
  }
}

TEST_F(SubPartTest, DefinitionRestoresMaskAndKeywords) {
  ASSERT_EQ(catalog_->AddSubPartRecord("p", "s1", &mask_), 0);
  MaskData target;
  ASSERT_EQ(catalog_->GetSubPartDefinition("s1", &target), 0);
  EXPECT_EQ(target.decoded(), std::string("\x01\xab\x00\xff", 4));
  EXPECT_STREQ(target.GetKeywordText(), "ParentKey: p SubPartKey: s1");
  EXPECT_EQ(target.GetSubPart(), True);
}

TEST_F(SubPartTest, ImageMaskRoundTrip) {
  TestImage part(13, 5, 10, 20, 30, true), parent(13, 5, 10, 20, 30);
  KvDatumClass probe;
  if (part.get()->EncodeSubPartDef(probe) != 0) GTEST_SKIP() << "mask packing not available";
  ASSERT_EQ(catalog_->AddSubPartRecord("img", "mask1", part.get()), 0);
  ASSERT_EQ(catalog_->GetSubPartDefinition("mask1", parent.get()), 0);
  ASSERT_NE(parent.get()->GetMaskPlane(), nullptr);
  EXPECT_EQ(std::memcmp(parent.get()->GetMaskPlane(), part.mask().data(), part.mask().size()), 0);
  EXPECT_EQ(parent.get()->GetSubPart(), True);
  EXPECT_STREQ(parent.get()->GetKeywordText(), "ParentKey: img SubPartKey: mask1");
}

TEST_F(SubPartTest, WithoutSubPartCatalogNothingIsTouched) {
  EXPECT_EQ(Keys("p"), "(none)");
  unsigned long count = 7;
  KvDatumClass out;
  EXPECT_EQ(catalog_->GetSubPartKeys("p", &count, out), 1);
  EXPECT_EQ(count, 7u);
  EXPECT_EQ(catalog_->GetSubPartParent("s", out), 1);
  MaskData target;
  EXPECT_EQ(catalog_->GetSubPartDefinition("s", &target), 1);
  EXPECT_EQ(catalog_->DeleteSubPartRecord("s"), 1);
  EXPECT_FALSE(Exists("SubPIdx.test"));
}

TEST_F(SubPartTest, RefusesKeysThatWouldBreakTheLists) {
  MaskData empty;
  EXPECT_EQ(catalog_->AddSubPartRecord("p", "a b", &mask_), -1);
  EXPECT_EQ(catalog_->AddSubPartRecord("p q", "s", &mask_), -1);
  EXPECT_EQ(catalog_->AddSubPartRecord("p", "", &mask_), -1);
  EXPECT_EQ(catalog_->AddSubPartRecord("p", "p", &mask_), -1);
  EXPECT_EQ(catalog_->AddSubPartRecord("p", "s", nullptr), -1);
  EXPECT_EQ(catalog_->AddSubPartRecord("p", "s", &empty), -1);  // no definition: nothing written
  EXPECT_FALSE(Exists("SubPIdx.test"));
}

TEST_F(SubPartTest, SubPartMovesToAnotherParent) {
  ASSERT_EQ(catalog_->AddSubPartRecord("p1", "s", &mask_), 0);
  ASSERT_EQ(catalog_->AddSubPartRecord("p1", "t", &mask_), 0);
  ASSERT_EQ(catalog_->AddSubPartRecord("p2", "s", &mask_), 0);
  EXPECT_EQ(Index("p1"), Text("1 t"));
  EXPECT_EQ(Index("p2"), Text("1 s"));
  EXPECT_EQ(Index("s"), Text("p2 01ab00ff"));
}

TEST_F(SubPartTest, GarbledRecordsAreErrors) {
  const struct {
    const char* key;
    std::string stored;
  } subParts[] = {
      {"s", "p"},            // no blank
      {"s", ""},             // empty
      {"s", " 01ab"},        // no parent
      {"s", "p "},           // no mask
      {"s", "p 01a"},        // odd hex
      {"s", "p zz"},         // no hex
  };
  for (const auto& c : subParts) {
    RawPut("SubPIdx.test", c.key, c.stored);
    MaskData target;
    kvtest::ClearError();
    EXPECT_EQ(catalog_->GetSubPartDefinition(c.key, &target), -1) << c.stored;
    EXPECT_EQ(GetErrorMSGNumber(), KERR_General) << c.stored;
    EXPECT_EQ(target.decoded(), "");
  }
  RawPut("SubPIdx.test", "s", "p");
  KvDatumClass out;
  EXPECT_EQ(catalog_->GetSubPartParent("s", out), -1);
  EXPECT_NE(catalog_->DeleteSubPartRecord("s"), 0);
  EXPECT_FALSE(Index("s").has_value());  // removed all the same

  for (const std::string& list : {std::string("x s1"), std::string(""), std::string("s1 s2")}) {
    RawPut("SubPIdx.test", "p", list);
    unsigned long count = 0;
    EXPECT_EQ(catalog_->GetSubPartKeys("p", &count, out), -1) << list;
    EXPECT_EQ(catalog_->AddSubPartRecord("p", "s3", &mask_), -1) << list;
    EXPECT_EQ(Index("p"), list);
    EXPECT_FALSE(Index("s3").has_value());
  }
}

TEST_F(SubPartTest, DeletingTheParentDeletesItsSubParts) {
  KV_REQUIRE_FEATURE(kvtest::kColorSub);
  ASSERT_EQ(catalog_->AddFeatureClass(kvtest::kColorSub, 0, 0, 0), 0);
  const std::string table = TableOf(kvtest::kColorSub);
  TestImage part(6, 4, 10, 20, 30, true);
  for (const char* s : {"s1", "s2"}) {
    ASSERT_EQ(catalog_->AddRecord(s, part.get(), nullptr, KV_MODE_INSERT, nullptr), 0);
    ASSERT_EQ(catalog_->AddSubPartRecord("p", s, &mask_), 0);
  }
  EXPECT_EQ(catalog_->GetGlobalCounter1(kvtest::kColorSub), 2u);
  EXPECT_EQ(catalog_->DeleteRecord("p", static_cast<const char*>(nullptr)), 0);
  EXPECT_EQ(catalog_->GetGlobalCounter1(kvtest::kColorSub), 0u);
  EXPECT_TRUE(Walk(table).empty());
  EXPECT_TRUE(Walk("SubPIdx.test").empty());
}

}  // namespace
