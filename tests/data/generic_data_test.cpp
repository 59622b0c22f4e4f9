#include <gtest/gtest.h>

#include <string>

#include "KvTestUtil.h"
#include "data/KvGenericData.h"

namespace {

// The base class is abstract only in its sub-part operations.
class PlainData : public KvGenericDataClass {
 public:
  int EncodeSubPartDef(KvDatumClass&) const override { return -1; }
  int DecodeSubPartDef(const KvDatumClass&) override { return -1; }
};

std::string QueryString(PlainData& d) {
  KvDatumClass out;
  EXPECT_EQ(d.ToQueryString(out), 0);
  return kvtest::Bytes(out);
}

TEST(GenericData, WritesRecordReferences) {
  PlainData e;
  e.SetType(KV_DATA_RECORD);
  e.SetCatalogName("C");
  e.SetKey("K");
  EXPECT_EQ(QueryString(e), "<        20 e C K  >");
  PlainData s;
  s.SetType(KV_DATA_SAMPLER);
  s.SetCatalogName("cat");
  s.SetKey("img01");
  s.SetSamplerName("samp");
  EXPECT_EQ(QueryString(s), "<        30 s cat img01 samp >");
}

TEST(GenericData, RefusesUnwritableObjects) {
  PlainData fresh;
  KvDatumClass out;
  out.CopyBytes("keep", 4, "test");
  EXPECT_EQ(fresh.ToQueryString(out), -1);
  EXPECT_EQ(kvtest::Bytes(out), "keep");
  PlainData noKey;
  noKey.SetType(KV_DATA_RECORD);
  noKey.SetCatalogName("C");
  EXPECT_EQ(noKey.ToQueryString(out), -1);
}

TEST(GenericData, MemoryPayloadRoundTrip) {
  PlainData m;
  m.SetType(KV_DATA_MEMORY);
  const std::string payload("a>b\0c >", 7);
  m.GetDataDatum().CopyBytes(payload.data(), payload.size(), "test");
  const std::string text = QueryString(m);
  // Header, payload, " >" and the NUL; the length counts all of it.
  EXPECT_EQ(text, std::string("<        26 m 0 ") + payload + std::string(" >\0", 3));
  EXPECT_EQ(text.size(), 26u);

  KvDatumClass in;
  in.CopyBytes(text.data(), text.size(), "test");
  PlainData back;
  ASSERT_EQ(back.FromQueryString(in, "AnyFeature"), 0);
  EXPECT_EQ(back.GetType(), KV_DATA_MEMORY);
  EXPECT_EQ(kvtest::Bytes(back.GetDataDatum()), payload);
  EXPECT_EQ(back.GetKeywordText(), nullptr);
  EXPECT_EQ(back.FromQueryString("AnyFeature"), 0);  // nothing to fetch
  EXPECT_EQ(kvtest::Bytes(back.GetDataDatum()), payload);
}

TEST(GenericData, KeywordTextTravelsBeforeThePayload) {
  PlainData p;
  p.SetType(KV_DATA_PICKER);
  p.SetKeywordText(" red car ");  // merged keyword text may begin with a blank
  p.GetDataDatum().CopyBytes("xyz", 3, "test");
  const std::string text = QueryString(p);
  EXPECT_EQ(text.substr(0, 27), "<        31 p 9  red car xy");
  KvDatumClass in;
  in.CopyBytes(text.data(), text.size(), "test");
  PlainData back;
  ASSERT_EQ(back.FromQueryString(in, nullptr), 0);
  EXPECT_STREQ(back.GetKeywordText(), " red car ");
  EXPECT_EQ(kvtest::Bytes(back.GetDataDatum()), "xyz");
}

TEST(GenericData, RejectsMalformedTextsWithoutReadingPastThem) {
  const std::string bad[] = {
      "", "<", "< 12", "< 12 x", "< 12 m", "< 12 m 5 ab >", "< 12 m 99999999999999999999 a",
      "< 12 e", "< 12 e cat", "< 12 s cat key >", "> 12 m 0 ", "< 12 m 0", "< 12 m 0x"};
  for (const std::string& text : bad) {
    PlainData d;
    KvDatumClass in;
    in.CopyBytes(text.data(), text.size(), "test");
    kvtest::ClearError();
    EXPECT_NE(d.FromQueryString(in, "F"), 0) << text;
  }
  // Every truncation of a valid text is handled.
  PlainData m;
  m.SetType(KV_DATA_MEMORY);
  m.SetKeywordText("kw");
  m.GetDataDatum().CopyBytes("payload", 7, "test");
  const std::string text = QueryString(m);
  for (size_t n = 0; n < text.size(); ++n) {
    PlainData d;
    KvDatumClass in;
    if (n > 0) in.CopyBytes(text.data(), n, "test");
    const int rc = d.FromQueryString(in, "F");
    if (rc == 0) {
      EXPECT_LE(d.GetDataDatum().Size(), n);
    }
  }
}

}  // namespace
