// Files that are not regular files among the inputs: a FIFO named like an
// image, a directory, a device and a dangling link are refused without
// blocking, by the codec and by a whole build, and the rest of the build's
// list is processed.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "KvImageFixtures.h"
#include "KvTestUtil.h"
#include "core/KvRegularFile.h"
#include "gen_img.h"

namespace {

// Special files in a fresh directory: fifo.png, dir.png, dangling.png and a
// link to /dev/zero, beside a real picture.
struct SpecialFiles {
  kvtest::TempDir dir{"special"};
  SpecialFiles() {
    EXPECT_EQ(::mkfifo(dir.File("fifo.png").c_str(), 0600), 0);
    EXPECT_EQ(::mkdir(dir.File("dir.png").c_str(), 0700), 0);
    EXPECT_EQ(::symlink(dir.File("gone.png").c_str(), dir.File("dangling.png").c_str()), 0);
    EXPECT_EQ(::symlink("/dev/zero", dir.File("zero.png").c_str()), 0);
    unsigned char indices[64] = {}, palette[768] = {};
    palette[1] = 255;
    for (int i = 0; i < 64; ++i) indices[i] = static_cast<unsigned char>(i % 2);
    EXPECT_TRUE(kvtest::WritePalettedPicture(dir.File("good.png"), 8, 8, indices, palette, 2, IFF_PNG));
  }
};

// A blocked open would hang the test program; the alarm ends it instead.
struct Watchdog {
  Watchdog() { ::alarm(20); }
  ~Watchdog() { ::alarm(0); }
};

TEST(SpecialFiles, AreRefusedWithoutBlocking) {
  SpecialFiles f;
  Watchdog watchdog;
  struct Case {
    const char* name;
    int error;  // errno of KvOpenRegularFile
  };
  const Case cases[] = {{"fifo.png", EINVAL}, {"dir.png", EISDIR}, {"dangling.png", ENOENT}, {"zero.png", EINVAL}};
  for (const Case& c : cases) {
    const std::string path = f.dir.File(c.name);
    errno = 0;
    EXPECT_EQ(KvOpenRegularFile(path.c_str(), "r"), nullptr) << c.name;
    EXPECT_EQ(errno, c.error) << c.name;
    int w = 0, h = 0;
    gen_img_state state{};
    EXPECT_NE(gen_img_read_sizes(path.c_str(), &w, &h, &state, 0), 0) << c.name;
    if (state.priv != nullptr) gen_img_read_close(&state);
  }
  FILE* good = KvOpenRegularFile(f.dir.File("good.png").c_str(), "rb");
  ASSERT_NE(good, nullptr);
  EXPECT_EQ(std::fgetc(good), 0x89);
  std::fclose(good);
}

TEST(SpecialFiles, BuildRefusesThemAndProcessesTheRest) {
  SpecialFiles f;
  const char* bin = std::getenv("KIVO_BIN");
  ASSERT_NE(bin, nullptr);
  const std::string log = f.dir.File("build.log");
  const std::string command = std::string("timeout 60 ") + bin + "/KvMkDbs -d " + f.dir.File("db") +
                              " -c photos -e KivoImagePath=" + f.dir.path() +
                              "/ -f KvColorFeatureClass fifo.png dir.png dangling.png zero.png good.png >" + log +
                              " 2>&1";
  const int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status)) << kvtest::ReadFile(log);
  // Not killed by the timeout: the build ended by itself, with a failure
  // for the four specs that are no image files.
  EXPECT_NE(WEXITSTATUS(status), 124) << kvtest::ReadFile(log);
  const std::string text = kvtest::ReadFile(log);
  EXPECT_NE(text.find("good.png in database=" + f.dir.File("db") + " catalog=photos successful"), std::string::npos)
      << text;
  for (const char* name : {"fifo.png", "dir.png", "dangling.png", "zero.png"}) {
    EXPECT_EQ(text.find(std::string(name) + " in database=" + f.dir.File("db") + " catalog=photos successful"),
              std::string::npos)
        << name << "\n" << text;
  }
}

}  // namespace
