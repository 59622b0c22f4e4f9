// The thumbnail command with an output string, as the Tcl shell runs it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "KivoWrap.h"
#include "KvImageFixtures.h"
#include "KvTestUtil.h"
#include "core/KvEnv.h"

namespace {

using kvtest::TempDir;

class ThumbnailCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    KvClearSettings();
    if (!kvtest::CodecWorks(dir_.path())) GTEST_SKIP() << "the image codec cannot read or write files";
    ASSERT_TRUE(cwd_.ok());
  }
  void TearDown() override { KvClearSettings(); }

  // Runs MakeThumbnails on words (the program name first) into text.
  int Run(std::vector<std::string> words, KvStringClass* text, int verbose = 0) {
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(&w[0]);
    argv.push_back(nullptr);
    wrap_.SetVerbose(verbose);
    return wrap_.MakeThumbnails(static_cast<int>(words.size()), argv.data(), text);
  }

  TempDir dir_;
  kvtest::ScopedCwd cwd_{dir_.path()};
  KivoWrapClass wrap_;
};

TEST_F(ThumbnailCommand, StringHoldsTheLastMessage) {
  kvtest::WriteFile("list", "!@rffg00b00\n!@r00gffb00\n\n");
  KvStringClass text(200);
  testing::internal::CaptureStdout();
  EXPECT_EQ(Run({"KvMkThmb", "-l", "list", "-w", "20", "-h", "10", "-s", ".t.gif"}, &text), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_STREQ(text.c_str(), "Create thumbnail !@r00gffb00.t.gif successful");
  int w = 0, h = 0;
  ASSERT_TRUE(kvtest::PictureSize("!@rffg00b00.t.gif", &w, &h));
  EXPECT_EQ(w, 10);
  EXPECT_EQ(h, 10);
  // The command ends with the object back at its defaults.
  EXPECT_EQ(wrap_.GetThumbnailWidth(), 100);
  EXPECT_EQ(wrap_.GetVerbose(), 0);
}

TEST_F(ThumbnailCommand, VerboseAlsoPrints) {
  KvStringClass text(200);
  testing::internal::CaptureStdout();
  EXPECT_EQ(Run({"KvMkThmb", "-n", "-c", "!@r01g02b03", "a.gif"}, &text, 1), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Create thumbnail a.gif successful\n");
  EXPECT_STREQ(text.c_str(), "Create thumbnail a.gif successful");
}

TEST_F(ThumbnailCommand, RefusalsFillTheString) {
  KvStringClass text(200);
  EXPECT_EQ(Run({"KvMkThmb", "-l", "no_such_list"}, &text), -1);
  EXPECT_STREQ(text.c_str(), "Image list file cannot be opened");
  KvStringClass usage(200);
  EXPECT_EQ(Run({"KvMkThmb", "-w"}, &usage), -1);
  EXPECT_EQ(std::string(usage.c_str()).rfind("KvMkThmb [options] imageName thumbnailName\nOR\n", 0), 0u);
  EXPECT_STREQ(GetErrorMSG(), "KIVO error: KivoWrapClass::MakeThumbnails: option -w needs a value");
}

TEST_F(ThumbnailCommand, RefusesOverlongListEntries) {
  kvtest::WriteFile("list", std::string(300, 'a') + "\n!@r00g00b00\n");
  KvStringClass text(200);
  testing::internal::CaptureStdout();
  EXPECT_EQ(Run({"KvMkThmb", "-l", "list"}, &text, 1), 0);
  const std::string printed = testing::internal::GetCapturedStdout();
  EXPECT_EQ(printed, "Create thumbnail " + std::string(254, 'a') +
                         ".thumb0.gif failed due to KIVO error: KivoWrapClass::MakeThumbnails: image name longer "
                         "than 254 characters\nCreate thumbnail !@r00g00b00.thumb0.gif successful\n");
}

}  // namespace
