#include <gtest/gtest.h>

#include <string>

#include "KvTestUtil.h"
#include "core/KvDatum.h"
#include "core/KvError.h"
#include "core/KvString.h"

namespace {

TEST(String, GrowthRule) {
  KvStringClass s("abcdefghij");
  EXPECT_EQ(s.GetSize(), 11u);
  EXPECT_EQ(s.GetCapacity(), 22u);
  s.Append("123456789012");
  EXPECT_EQ(s.GetSize(), 23u);
  EXPECT_EQ(s.GetCapacity(), 44u);
  s.Append(std::string(100, 'z').c_str());
  EXPECT_EQ(s.GetCapacity(), 123u);
  EXPECT_EQ(std::string(s.GetString()), "abcdefghij123456789012" + std::string(100, 'z'));

  KvStringClass tiny(0ul, True);
  EXPECT_EQ(tiny.GetCapacity(), 1u);
  tiny.Append("ab");
  EXPECT_EQ(tiny.GetCapacity(), 3u);
  EXPECT_STREQ(tiny.GetString(), "ab");
}

TEST(String, EmptyStringsGiveNull) {
  KvStringClass fresh;
  EXPECT_EQ(fresh.GetString(), nullptr);
  EXPECT_EQ(fresh.GetCapacity(), 64u);
  fresh.Assign("");
  EXPECT_EQ(fresh.GetString(), nullptr);
  fresh.Assign(nullptr);
  EXPECT_EQ(fresh.GetSize(), 1u);
  fresh.Append(nullptr);
  EXPECT_EQ(fresh.GetSize(), 1u);
  fresh.Assign("x");
  EXPECT_STREQ(fresh.GetString(), "x");
}

TEST(String, AppendFormatAndBytes) {
  KvStringClass s(4ul, True);
  s.AppendFormat("%s %d", "total", 12);
  s.AppendFormat("%s", std::string(300, 'q').c_str());
  EXPECT_EQ(std::string(s.GetString()), "total 12" + std::string(300, 'q'));
  s.Assign("a");
  s.AppendBytes("bcdef", 2);
  EXPECT_STREQ(s.GetString(), "abc");
}

TEST(String, HandsBufferToDatum) {
  KvDatumClass datum;
  {
    KvStringClass s("owned text");
    datum.SetBytes(s.GetSize(), reinterpret_cast<unsigned char*>(s.GetString()), KvOwnKvDelete);
    s.SetDestructorDelete(False);
  }
  EXPECT_EQ(kvtest::Bytes(datum), std::string("owned text", 11));
}

TEST(Hex, EncodeAndDecode) {
  KvStringClass s;
  const unsigned char bytes[] = {0x00, 0xAB, 0x7F};
  ASSERT_EQ(s.EncodeBuffer(bytes, 3), 0);
  EXPECT_STREQ(s.GetString(), "00ab7f");
  EXPECT_EQ(s.GetSize(), 7u);

  unsigned char out[4] = {1, 1, 1, 1};
  EXPECT_EQ(DecodeBuffer("00AB7f", out, 3), 0);
  EXPECT_EQ(out[0], 0x00);
  EXPECT_EQ(out[1], 0xAB);
  EXPECT_EQ(out[2], 0x7F);

  kvtest::ClearError();
  unsigned char two[2];
  EXPECT_EQ(DecodeBuffer("00AB7f", two, 2), -1);
  EXPECT_EQ(GetErrorMSGNumber(), KERR_General);
  EXPECT_EQ(GetErrorMSGSeverity(), KERR_NonFatal);
  EXPECT_STREQ(GetErrorMSG(), "KIVO error: KvString:DecodeBuffer found more data than requested");

  EXPECT_EQ(DecodeBuffer("", out, 3), 0);
  // Stops before a pair that does not begin with a hex digit; a bad second
  // character counts as 0.
  unsigned long written = 0;
  EXPECT_EQ(KvDecodeHex("1g2x zz", 7, out, 4, &written, nullptr), 0);
  EXPECT_EQ(written, 2u);
  EXPECT_EQ(out[0], 0x10);
  EXPECT_EQ(out[1], 0x20);
  // A bounded text never reads past its end, even without a NUL.
  const char odd[3] = {'a', 'b', 'c'};
  size_t consumed = 0;
  EXPECT_EQ(KvDecodeHex(odd, 3, out, 4, &written, &consumed), 0);
  EXPECT_EQ(written, 2u);
  EXPECT_EQ(consumed, 3u);
  EXPECT_EQ(out[1], 0xC0);
}

TEST(Datum, OwnershipAndCopy) {
  KvDatumClass empty;
  KvDatumClass target;
  target.CopyBytes("abc", 3, "test");
  target = empty;
  EXPECT_EQ(target.Size(), 0u);
  EXPECT_EQ(target.Data(), nullptr);
  EXPECT_EQ(target.GetFormat(), nullptr);

  unsigned char borrowed[4] = {1, 2, 3, 4};
  {
    KvDatumClass d;
    d.SetBytes(4, borrowed, KvOwnNone);
  }
  EXPECT_EQ(borrowed[3], 4);

  KvDatumClass source;
  source.SetBytes(3, new unsigned char[3]{9, 8, 7}, KvOwnArrayDelete);
  source.SetFormat(static_cast<char*>(malloc(4)), KvOwnFree);
  std::strcpy(source.GetFormat(), "fmt");
  KvDatumClass copy;
  copy = source;
  EXPECT_EQ(kvtest::Bytes(copy), std::string("\x09\x08\x07", 3));
  EXPECT_STREQ(copy.GetFormat(), "fmt");
  EXPECT_NE(copy.Data(), source.Data());
  EXPECT_EQ(copy.GetClassId(), 98732u);
  EXPECT_TRUE(copy.IsClass("KvDatumClass"));
  EXPECT_FALSE(copy.IsClass("KvDatum"));

  unsigned long size = 0;
  const char* text = nullptr;
  copy.GetBytes(size, text);
  EXPECT_EQ(size, 3u);
  copy.SetBytes(1, new unsigned char(5), KvOwnDelete);
  EXPECT_EQ(copy.Size(), 1u);
}

}  // namespace
