// The real KvQSrv answering while the real KvMkDbs adds images to the
// catalog it serves and takes them out again: every answer holds every
// image that was stored before the build began, and nothing fails.
#include <atomic>
#include <set>

#include "ServerFixture.h"

namespace {

// The keys of an answer's query-string form, in their order.
std::set<std::string> KeysOf(const std::string& answer) {
  std::set<std::string> keys;
  for (const std::string& file : stest::Photos().files) {
    if (answer.find(file) != std::string::npos) keys.insert(file);
  }
  return keys;
}

TEST(BuildWhileServing, AnswersNeverMissAnImageStoredBeforeTheBuild) {
  const stest::PhotoCatalog& photos = stest::Photos();
  ASSERT_NE(photos.connection, nullptr);
  kvtest::TempDir dir("serving-build");
  const std::string db = dir.File("db");
  const std::vector<std::string> stable(photos.files.begin(), photos.files.begin() + 5);
  const std::vector<std::string> churn(photos.files.begin() + 5, photos.files.end());
  auto build = [&](const std::vector<std::string>& files, const char* flag) {
    std::vector<std::string> args = {stest::Bin("KvMkDbs"), "-d", db, "-c", "photos", "-e",
                                     "KivoImagePath=" + photos.imageDir + "/", "-f", "KvColorFeatureClass",
                                     "-f", "KvTextureFeatureClass"};
    if (flag != nullptr) args.push_back(flag);
    args.insert(args.end(), files.begin(), files.end());
    return args;
  };
  ASSERT_EQ(stest::Run(build(stable, nullptr), dir.File("stable.log")), 0) << kvtest::ReadFile(dir.File("stable.log"));

  stest::ServerProcess server;
  ASSERT_TRUE(server.Start({"-w", "2"}, db));
  server.PointClientHere();
  // Every query asks for more keys than the catalog ever holds, so each
  // stable image must be in each answer.
  std::vector<std::string> texts;
  for (const std::string& key : stable) {
    texts.push_back(stest::StoredKeyQuery(key, "KvColorFeatureClass", 100));
    texts.push_back(stest::StoredKeyQuery(key, "KvTextureFeatureClass", 100));
  }
  const std::set<std::string> wanted(stable.begin(), stable.end());
  int queries = 0, wrong = 0;
  for (int round = 0; round < 4; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::vector<std::string> args = build(churn, round % 2 == 0 ? nullptr : "-r");
    // The writer runs in its own thread; queries go on until it ends.
    std::atomic<bool> running{true};
    int status = -1;
    std::thread writer([&] {
      status = stest::Run(args, dir.File("writer.log"));
      running = false;
    });
    do {
      const stest::Answer a = stest::ThroughClient(texts[static_cast<size_t>(queries) % texts.size()]);
      std::set<std::string> keys = KeysOf(a.text);
      for (const std::string& c : churn) keys.erase(c);
      if (a.status != 0 || keys != wanted) {
        ++wrong;
        ADD_FAILURE() << "query " << queries << " status " << a.status << ": " << a.text;
      }
      ++queries;
    } while (running);
    writer.join();
    EXPECT_EQ(status, 0) << kvtest::ReadFile(dir.File("writer.log"));
  }
  EXPECT_GT(queries, 8);
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(server.Stop(SIGTERM), 0) << server.LogText();
}

}  // namespace
