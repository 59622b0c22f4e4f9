#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#include "KvTestUtil.h"
#include "data/KvParameter.h"

namespace {

std::string CommandLine(const KvParameterClass& p) {
  KvDatumClass out;
  EXPECT_EQ(p.ToCommandLineString(out), 0);
  return kvtest::Bytes(out);
}

TEST(Parameters, CommandLineForm) {
  KvParameterClass p;
  EXPECT_EQ(p.GetClassId(), 558797u);
  p.SetParameter("A", "1");
  p.SetParameter("B", "2");
  EXPECT_EQ(CommandLine(p), "W=1.000000:F=0:O=0:C=0:PA=1,B=2");
  KvDatumClass q;
  ASSERT_EQ(p.ToQueryString(q), 0);
  EXPECT_EQ(kvtest::Bytes(q), std::string("< W=1.000000:F=0:O=0:C=0:PA=1,B=2 >", 36));
}

TEST(Parameters, ReadsItems) {
  struct Case {
    const char* text;
    int result;
    std::string expected;
  };
  const Case cases[] = {
      {"", 0, "W=1.000000:F=0:O=0:C=0:P"},
      {"P", 0, "W=1.000000:F=0:O=0:C=0:P"},
      {"W=2", 0, "W=2.000000:F=0:O=0:C=0:P"},
      {"W2", 0, "W=0.000000:F=0:O=0:C=0:P"},
      {"W=0.5:F=1:O=3:C=-2", 0, "W=0.500000:F=1:O=3:C=-2:P"},
      {"O=1:O=7", 0, "W=1.000000:F=0:O=7:C=0:P"},
      {"PHalo=T,Burst=F:W=3", 0, "W=3.000000:F=0:O=0:C=0:PHalo=T,Burst=F"},
      {"PA=1,A=2", 0, "W=1.000000:F=0:O=0:C=0:PA=2"},
      {"PFlag", 0, "W=1.000000:F=0:O=0:C=0:PFlag="},
      {"P,=3,,B=4", 0, "W=1.000000:F=0:O=0:C=0:PB=4"},
      {"O=99999999999999", 0, "W=1.000000:F=0:O=2147483647:C=0:P"},
      {"w=2", 1, "W=1.000000:F=0:O=0:C=0:P"},
      {"W=2:x=1:O=3", 1, "W=2.000000:F=0:O=0:C=0:P"},
      {"W", 0, "W=0.000000:F=0:O=0:C=0:P"},
  };
  for (const Case& c : cases) {
    KvParameterClass p;
    EXPECT_EQ(p.FromCommandLineString(c.text), c.result) << c.text;
    EXPECT_EQ(CommandLine(p), c.expected) << c.text;
  }
}

TEST(Parameters, LongWordsAreCut) {
  KvParameterClass p;
  const std::string name(300, 'n');
  ASSERT_EQ(p.FromCommandLineString(("P" + name + "=v").c_str()), 0);
  ASSERT_EQ(p.GetCount(), 1u);
  EXPECT_EQ(std::string(p.GetName(0)), std::string(255, 'n'));
}

TEST(Parameters, GrowsAndCopies) {
  KvParameterClass p;
  for (int i = 0; i < 17; ++i) {
    ASSERT_EQ(p.SetParameter(("n" + std::to_string(i)).c_str(), std::to_string(i).c_str()), 0);
  }
  EXPECT_EQ(p.GetCount(), 17u);
  for (uint32_t i = 0; i < 17; ++i) EXPECT_EQ(std::string(p.GetValue(i)), std::to_string(i));
  EXPECT_EQ(p.SetParameterNumber("n3", 3.5), 0);
  EXPECT_EQ(p.SetParameterNumber("missing", 1.0), 1);
  p.SetW(2.5);
  p.SetO(4);
  p.SetC(1);
  p.SetF(True);
  KvParameterClass copy;
  copy = p;
  EXPECT_EQ(CommandLine(copy), CommandLine(p));
  double n = 0;
  EXPECT_EQ(copy.GetParameterNumber("n3", &n), 0);
  EXPECT_EQ(n, 3.5);
  EXPECT_STREQ(copy.GetParameter("n16"), "16");
  EXPECT_EQ(copy.GetParameter("n17"), nullptr);
}

TEST(Parameters, RoundTripsThroughText) {
  KvParameterClass p;
  p.SetW(0.125);
  p.SetO(2);
  p.SetParameter("HiLoCut", ".05");
  p.SetParameter("Excess", "0.15");
  KvDatumClass q;
  ASSERT_EQ(p.ToQueryString(q), 0);
  KvParameterClass back;
  ASSERT_EQ(back.FromQueryString(q), 0);
  EXPECT_EQ(CommandLine(back), CommandLine(p));

  KvDatumClass line;
  ASSERT_EQ(p.ToCommandLineString(line), 0);
  KvParameterClass fromDatum;
  ASSERT_EQ(fromDatum.FromCommandLineString(line), 0);  // bytes without a NUL
  EXPECT_EQ(CommandLine(fromDatum), CommandLine(p));
}

// A weight of 5.5e110 (or any weight whose "%f" runs past a hundred digits)
// once cut the written form short, losing F, O, C and the named parameters.
TEST(Parameters, HugeWeightsWriteWhole) {
  for (const char* weight : {"W=5555555555555555555555555555555555555555555555555555555555555555555555555555555"
                             "55555555555555555555555555555555:F=1:O=3:C=4:PMax=2,Halo=T",
                             "W=-1e308:O=-2147483648:C=2147483647:Pa=b", "W=inf:Pa=1", "W=nan:F=1"}) {
    SCOPED_TRACE(weight);
    KvParameterClass p;
    ASSERT_EQ(p.FromCommandLineString(weight), 0);
    KvDatumClass line;
    ASSERT_EQ(p.ToCommandLineString(line), 0);
    KvParameterClass back;
    ASSERT_EQ(back.FromCommandLineString(line), 0);
    EXPECT_EQ(CommandLine(back), CommandLine(p));
    EXPECT_EQ(back.GetF(), p.GetF());
    EXPECT_EQ(back.GetO(), p.GetO());
    EXPECT_EQ(back.GetC(), p.GetC());
    EXPECT_EQ(back.GetCount(), p.GetCount());
  }
}

// A 350 KB list of 40000 names once took seconds to read (each name was
// looked up among all those before it): texts now give a set at most 1024
// names, and repeated names are found without a walk of the set.
TEST(Parameters, LongListsOfPairs) {
  auto names = [](int from, int to) {
    std::string text;
    for (int i = from; i < to; ++i) {
      text += (text.empty() ? "n" : ",n") + std::to_string(i) + "=" + std::to_string(i);
    }
    return text;
  };
  KvParameterClass most;
  ASSERT_EQ(most.FromCommandLineString(("W=2:P" + names(0, 1024)).c_str()), 0);
  EXPECT_EQ(most.GetCount(), 1024u);
  EXPECT_STREQ(most.GetParameter("n1023"), "1023");

  KvParameterClass tooMany;
  kvtest::ClearError();
  EXPECT_EQ(tooMany.FromCommandLineString(("W=2:P" + names(0, 40000) + ":O=5").c_str()), -1);
  EXPECT_EQ(GetErrorMSGNumber(), KERR_General);
  EXPECT_EQ(tooMany.GetCount(), 1024u);  // what was read stays applied
  EXPECT_EQ(tooMany.GetW(), 2.0);
  EXPECT_EQ(tooMany.GetO(), 0);

  // Names already held, and names repeated in the text, replace their values.
  KvParameterClass repeated;
  ASSERT_EQ(repeated.SetParameter("b", "old"), 0);
  std::string text = "P";
  for (int i = 0; i < 100000; ++i) {
    text += std::string(i > 0 ? "," : "") + "abc"[i % 3] + "=" + std::to_string(i);
  }
  ASSERT_EQ(repeated.FromCommandLineString(text.c_str()), 0);
  EXPECT_EQ(CommandLine(repeated), "W=1.000000:F=0:O=0:C=0:Pb=99997,a=99999,c=99998");
}

TEST(Parameters, QueryStringEdgeCasesAndTruncation) {
  KvParameterClass p;
  KvDatumClass empty;
  EXPECT_EQ(p.FromQueryString(empty), 0);
  KvDatumClass text;
  kvtest::SetText(text, "< >");
  EXPECT_EQ(p.FromQueryString(text), 0);
  kvtest::SetText(text, "no bracket");
  EXPECT_EQ(p.FromQueryString(text), -1);

  const std::string full = "< W=2.000000:F=1:O=1:C=0:PMaxOffset=2,Halo=T >";
  for (size_t n = 0; n <= full.size(); ++n) {
    KvParameterClass cut;
    KvDatumClass d;
    kvtest::SetText(d, full.substr(0, n));
    const int rc = cut.FromQueryString(d);
    EXPECT_TRUE(rc == 0 || rc == 1 || rc == -1) << n;
  }
}

TEST(Parameters, FromFile) {
  kvtest::TempDir dir;
  kvtest::WriteFile(dir.File("p.txt"), "< W=3.000000:F=0:O=5:C=0:PA=b >\n");
  KvParameterClass p;
  EXPECT_EQ(p.FromQueryStringInFile(dir.File("p.txt").c_str()), 0);
  EXPECT_EQ(p.GetO(), 5);
  EXPECT_STREQ(p.GetParameter("A"), "b");
  EXPECT_EQ(p.FromQueryStringInFile(dir.File("missing").c_str()), -1);
}

}  // namespace

// A weight or number that is not one was once read as 0, which ranks every
// image alike: such texts are refused and the error names the item.
TEST(Parameters, ValuesThatAreNotNumbersAreRefused) {
  const struct {
    const char* text;
    int rc;
  } cases[] = {
      {"W=abc", -1}, {"W=1.5x", -1}, {"W=", 0},     {"W= 2.5 ", 0}, {"W=-3e2", 0},
      {"F=yes", -1}, {"O=1.5", -1},  {"C=", 0},     {"O=-2:C=3", 0}, {"W=2:O=x", -1},
  };
  for (const auto& c : cases) {
    KvParameterClass p;
    EXPECT_EQ(p.FromCommandLineString(c.text), c.rc) << c.text;
    if (c.rc != 0) {
      EXPECT_EQ(GetErrorMSGSeverity(), KERR_Fatal) << c.text;
      EXPECT_NE(std::string(GetErrorMSG()).find("is not a"), std::string::npos) << c.text;
    }
  }
  KvParameterClass p;
  ASSERT_EQ(p.FromCommandLineString("W= 2.5 :O=-2"), 0);
  EXPECT_DOUBLE_EQ(p.GetW(), 2.5);
  EXPECT_EQ(p.GetO(), -2);
}
