// The query server under test: catalog, server process, raw peers.
#include "ServerFixture.h"

#include <cerrno>
#include <cstdio>

#include "KvImageFixtures.h"
#include "data/KvGenericImageData.h"
#include "data/KvParameter.h"
#include "features/KvFeature.h"
#include "query/KvQueryClient.h"

namespace stest {

namespace {

constexpr int kTimeoutSeconds = 10;

void SetTimeouts(int fd) {
  timeval t{kTimeoutSeconds, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &t, sizeof t);
}

sockaddr_in Loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

// A generated picture: a few random colours in 4 x 4 blocks, with noise.
bool WriteGeneratedPicture(const std::string& path, unsigned seed, int w, int h) {
  unsigned s = seed * 2654435761u + 99u;
  auto next = [&s] {
    s = s * 1103515245u + 12345u;
    return (s >> 16) & 0x7FFF;
  };
  const int colours = 2 + static_cast<int>(next() % 5);
  std::vector<unsigned char> palette(768, 0), indices(static_cast<size_t>(w * h));
  for (int i = 0; i < colours; ++i) {
    for (int c = 0; c < 3; ++c) palette[static_cast<size_t>(c * 256 + i)] = static_cast<unsigned char>(next());
  }
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const unsigned block = static_cast<unsigned>(y / 4) * 97u + static_cast<unsigned>(x / 4) * 31u + seed;
      unsigned c = (block * 2654435761u >> 13) % static_cast<unsigned>(colours);
      if (next() % 11 == 0) c = next() % static_cast<unsigned>(colours);
      indices[static_cast<size_t>(y * w + x)] = static_cast<unsigned char>(c);
    }
  }
  return kvtest::WritePalettedPicture(path, w, h, indices.data(), palette.data(), colours, IFF_PNG);
}

PhotoCatalog* BuildPhotos() {
  static kvtest::TempDir dir("server");  // removed when the program ends
  auto* c = new PhotoCatalog;
  c->database = dir.File("db");
  c->imageDir = dir.File("images");
  const std::string textDir = dir.File("text");
  ::mkdir(c->imageDir.c_str(), 0700);
  ::mkdir(textDir.c_str(), 0700);
  for (unsigned i = 0; i < 12; ++i) {
    const std::string name = "photo" + std::to_string(i) + ".png";
    if (!WriteGeneratedPicture(c->imageDir + "/" + name, i, 40 + static_cast<int>(i % 3) * 8, 30)) {
      ADD_FAILURE() << "cannot write " << name;
      return c;
    }
    c->files.push_back(name);
  }
  c->tests = {"!@rffg00b00", "!@rf0g10b00", "!@r00gffb00", "!@r00g00bff",
              "!@r80g80b80", "!@rffgffb00", "!@r00g80b80", "!@rffgffbff"};
  const char* words[] = {"red car", "blue sky car", "green grass", "sea", "yellow taxi car", "snow"};
  for (size_t i = 0; i < 6; ++i) {
    kvtest::WriteFile(textDir + "/" + c->files[i] + ".txt", std::string(words[i]) + "\n");
    kvtest::WriteFile(textDir + "/" + c->tests[i] + ".txt", std::string(words[5 - i]) + "\n");
  }
  std::vector<std::string> args = {Bin("KvMkDbs"), "-d", c->database, "-c", "photos",
                                   "-e", "KivoImagePath=" + c->imageDir + "/",
                                   "-e", "KivoTextPath=" + textDir + "/",
                                   "-f", "KvColorFeatureClass", "-f", "KvColorHistogramFeatureClass",
                                   "-f", "KvTextureFeatureClass", "-f", "KvDrawFeatureClass",
                                   "-f", "KvTextFeatureClass"};
  args.insert(args.end(), c->files.begin(), c->files.end());
  args.insert(args.end(), c->tests.begin(), c->tests.end());
  const std::string log = dir.File("build.log");
  if (Run(args, log) != 0) {
    ADD_FAILURE() << "KvMkDbs failed:\n" << kvtest::ReadFile(log);
    return c;
  }
  // Sub-parts of two photographs: their left and right halves (sub-parts
  // are stored under their mask's name, so each photograph has its own).
  for (int half = 0; half < 4; ++half) {
    std::vector<unsigned char> indices(40 * 30);
    for (int y = 0; y < 30; ++y) {
      for (int x = 0; x < 40; ++x) indices[static_cast<size_t>(y * 40 + x)] = (x < 20) == (half % 2 == 0) ? 1 : 0;
    }
    unsigned char palette[768] = {};
    palette[1] = palette[257] = palette[513] = 255;
    const std::string mask =
        c->imageDir + "/" + (half % 2 == 0 ? "left" : "right") + (half < 2 ? "0" : "3") + ".png";
    if (!kvtest::WritePalettedPicture(mask, 40, 30, indices.data(), palette, 2, IFF_PNG)) {
      ADD_FAILURE() << "cannot write " << mask;
      return c;
    }
  }
  for (const char* n : {"0", "3"}) {
    const std::vector<std::string> masks = {Bin("KvMkDbs"), "-d", c->database, "-c", "photos",
                                            "-e", "KivoImagePath=" + c->imageDir + "/",
                                            "-e", "KivoMaskPath=" + c->imageDir + "/",
                                            "-f", "KvColorSubPartFeatureClass",
                                            "-f", "KvColorHistogramSubPartFeatureClass",
                                            "-f", "KvTextureSubPartFeatureClass",
                                            "+p", std::string("photo") + n + ".png", "(",
                                            std::string("left") + n + ".png", std::string("right") + n + ".png", ")"};
    if (Run(masks, log) != 0) {
      ADD_FAILURE() << "KvMkDbs failed on the sub-parts:\n" << kvtest::ReadFile(log);
      return c;
    }
  }
  c->connection = KvGetConnection("r", c->database.c_str(), nullptr);
  if (c->connection == nullptr) ADD_FAILURE() << "no connection: " << GetErrorMSG();
  return c;
}

std::string Text(const KvDatumClass& d) { return kvtest::Bytes(d); }

// Parameters of a feature class: its class defaults, then spec.
std::unique_ptr<KvParameterClass> Parms(const char* feature, const char* spec = nullptr) {
  std::unique_ptr<KvFeatureClass> f(KvCreateFeatureClass(feature));
  auto p = std::make_unique<KvParameterClass>();
  *p = *f->GetParameters();
  if (spec != nullptr) p->FromCommandLineString(spec);
  return p;
}

std::string Build(int n, std::vector<const char*> features, std::vector<std::unique_ptr<KvParameterClass>> parms,
                  std::vector<KvGenericDataClass*> data, KvKeyDatabaseClass* restriction = nullptr,
                  const char* catalog = "photos") {
  std::vector<KvParameterClass*> p;
  for (auto& x : parms) p.push_back(x.get());
  KvDatumClass out;
  EXPECT_EQ(KvBuildQueryString(n, catalog, restriction, nullptr, static_cast<int>(features.size()), features.data(),
                               p.data(), data.data(), out),
            0)
      << GetErrorMSG();
  return Text(out);
}

}  // namespace

std::string PictureQuery(const std::string& path, int w, int h) {
  if (!WriteGeneratedPicture(path, 7, w, h)) {
    ADD_FAILURE() << "cannot write " << path;
    return std::string();
  }
  KvGenericImageDataClass image;
  EXPECT_EQ(image.ReadImageDataFromFile(path.c_str(), nullptr, False), 0) << GetErrorMSG();
  std::vector<std::unique_ptr<KvParameterClass>> p;
  p.push_back(Parms("KvColorHistogramFeatureClass"));
  return Build(5, {"KvColorHistogramFeatureClass"}, std::move(p), {&image});
}

int Run(const std::vector<std::string>& args, const std::string& logFile) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return -1;
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

const PhotoCatalog& Photos() {
  static PhotoCatalog* catalog = BuildPhotos();
  return *catalog;
}

std::string StoredKeyQuery(const std::string& key, const char* feature, int n, const char* catalog) {
  std::unique_ptr<KvGenericDataClass> example(KvCreateGenericDataClass("KvGenericImageDataClass"));
  example->SetType(KV_DATA_RECORD);
  example->SetCatalogName(catalog);
  example->SetKey(key.c_str());
  std::vector<std::unique_ptr<KvParameterClass>> p;
  p.push_back(Parms(feature));
  return Build(n, {feature}, std::move(p), {example.get()}, nullptr, catalog);
}

std::vector<std::string> QueryTexts() {
  const PhotoCatalog& photos = Photos();
  std::vector<std::string> texts;
  // Stored keys as examples, one feature each.
  for (const char* feature : {"KvColorFeatureClass", "KvColorHistogramFeatureClass", "KvTextureFeatureClass",
                              "KvDrawFeatureClass"}) {
    std::unique_ptr<KvGenericDataClass> key(KvCreateGenericDataClass("KvGenericImageDataClass"));
    key->SetType(KV_DATA_RECORD);
    key->SetCatalogName("photos");
    key->SetKey(photos.files[3].c_str());
    std::vector<std::unique_ptr<KvParameterClass>> p;
    p.push_back(Parms(feature));
    texts.push_back(Build(6, {feature}, std::move(p), {key.get()}));
  }
  // Image files sent as pixels: weighted colour and histogram together.
  for (size_t i : {0u, 7u}) {
    KvGenericImageDataClass a, b;
    const std::string path = photos.imageDir + "/" + photos.files[i];
    EXPECT_EQ(a.ReadImageDataFromFile(path.c_str(), nullptr, False), 0);
    EXPECT_EQ(b.ReadImageDataFromFile(path.c_str(), nullptr, False), 0);
    std::vector<std::unique_ptr<KvParameterClass>> p;
    p.push_back(Parms("KvColorFeatureClass", "W=2"));
    p.push_back(Parms("KvColorHistogramFeatureClass"));
    texts.push_back(Build(10, {"KvColorFeatureClass", "KvColorHistogramFeatureClass"}, std::move(p), {&a, &b}));
  }
  // A cascade: texture first (O=1), then the average colour of those (O=2).
  {
    KvGenericImageDataClass a, b;
    const std::string path = photos.imageDir + "/" + photos.files[5];
    a.ReadImageDataFromFile(path.c_str(), nullptr, False);
    b.ReadImageDataFromFile(path.c_str(), nullptr, False);
    std::vector<std::unique_ptr<KvParameterClass>> p;
    p.push_back(Parms("KvTextureFeatureClass", "O=1"));
    p.push_back(Parms("KvColorFeatureClass", "O=2:C=1"));
    texts.push_back(Build(4, {"KvTextureFeatureClass", "KvColorFeatureClass"}, std::move(p), {&a, &b}));
  }
  // Picker descriptions for the histogram (partial matching) and the draw
  // feature.
  for (const char* feature : {"KvColorHistogramFeatureClass", "KvDrawFeatureClass"}) {
    KvGenericImageDataClass picker;
    EXPECT_EQ(picker.ReadPickerImageDescriptionString("D36 27 R0 0 36 27 200 40 40 R4 4 10 8 20 20 220", False), 0);
    std::vector<std::unique_ptr<KvParameterClass>> p;
    p.push_back(Parms(feature));
    texts.push_back(Build(5, {feature}, std::move(p), {&picker}));
  }
  // A keyword.
  {
    KvGenericImageDataClass keyword;
    keyword.SetType(KV_DATA_PICKER);
    keyword.SetKeywordText("car");
    std::vector<std::unique_ptr<KvParameterClass>> p;
    p.push_back(Parms("KvTextFeatureClass"));
    texts.push_back(Build(100, {"KvTextFeatureClass"}, std::move(p), {&keyword}));
  }
  // A restriction set: the colour ranking among four keys only.
  {
    std::unique_ptr<KvKeyDatabaseClass> set(photos.connection->NewKeyDatabase());
    auto* memory = dynamic_cast<KvKeyMemoryDatabaseClass*>(set.get());
    for (size_t i : {1u, 4u, 8u}) memory->InsertKey(photos.files[i].c_str(), 0.0f);
    memory->InsertKey(photos.tests[2].c_str(), 0.0f);
    KvGenericImageDataClass red;
    red.ReadImageDataFromFile("!@rffg00b00", nullptr, False);
    std::vector<std::unique_ptr<KvParameterClass>> p;
    p.push_back(Parms("KvColorFeatureClass"));
    texts.push_back(Build(3, {"KvColorFeatureClass"}, std::move(p), {&red}, set.get()));
  }
  // Sub-parts: alone, and mixed with a whole-image feature.
  {
    KvGenericImageDataClass part, partHistogram, partTexture, whole;
    const std::string path = photos.imageDir + "/photo0.png";
    const std::string mask = photos.imageDir + "/left0.png";
    EXPECT_EQ(part.ReadImageDataFromFile(path.c_str(), mask.c_str(), True), 0);
    EXPECT_EQ(partHistogram.ReadImageDataFromFile(path.c_str(), mask.c_str(), True), 0);
    EXPECT_EQ(partTexture.ReadImageDataFromFile(path.c_str(), mask.c_str(), True), 0);
    EXPECT_EQ(whole.ReadImageDataFromFile(path.c_str(), nullptr, False), 0);
    std::vector<std::unique_ptr<KvParameterClass>> p;
    p.push_back(Parms("KvColorHistogramSubPartFeatureClass"));
    p.push_back(Parms("KvTextureSubPartFeatureClass"));
    texts.push_back(Build(4, {"KvColorHistogramSubPartFeatureClass", "KvTextureSubPartFeatureClass"}, std::move(p),
                          {&partHistogram, &partTexture}));
    p.clear();
    p.push_back(Parms("KvColorFeatureClass"));
    p.push_back(Parms("KvColorSubPartFeatureClass"));
    texts.push_back(Build(4, {"KvColorFeatureClass", "KvColorSubPartFeatureClass"}, std::move(p), {&whole, &part}));
  }
  // Failures: an unknown catalog and a malformed text.
  {
    KvGenericImageDataClass red;
    red.ReadImageDataFromFile("!@rffg00b00", nullptr, False);
    std::vector<std::unique_ptr<KvParameterClass>> p;
    p.push_back(Parms("KvColorFeatureClass"));
    texts.push_back(Build(3, {"KvColorFeatureClass"}, std::move(p), {&red}, nullptr, "nosuchcatalog"));
  }
  texts.push_back("query 5 photos\n{\n [ KvColorFeatureClass < W=1 ");
  return texts;
}

Answer InProcess(const std::string& queryText, const KvConnectClass* connection) {
  KvQueryServerClass query(connection != nullptr ? connection : Photos().connection);
  KvInitializeErrorStructure();
  KvKeyDatabaseClass* result = query.Evaluate(queryText.c_str());
  Answer a;
  a.status = query.GetStatus();
  if (result == nullptr) {
    // The server reports a failure without a status as -1.
    if (a.status == 0) a.status = -1;
    return a;
  }
  KvDatumClass d;
  EXPECT_EQ(result->ToQueryString(d), 0);
  a.text = Text(d);
  return a;
}

Answer ThroughClient(const std::string& queryText) {
  KvQueryClientClass client;
  KvInitializeErrorStructure();
  KvKeyDatabaseClass* result = client.Evaluate(queryText.c_str());
  Answer a;
  a.status = client.GetStatus();
  if (result == nullptr) return a;
  KvDatumClass d;
  EXPECT_EQ(result->ToQueryString(d), 0);
  a.text = Text(d);
  return a;
}

ServerProcess::~ServerProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  if (reader_.joinable()) reader_.join();
}

bool ServerProcess::Start(const std::vector<std::string>& extra, const std::string& database) {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return false;
  std::vector<std::string> args = {Bin("KvQSrv"), "-d", database.empty() ? Photos().database : database,
                                   "-e", "KivoServerHost=127.0.0.1",
                                   "-e", "KivoServerPort=0"};
  args.insert(args.end(), extra.begin(), extra.end());
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  if (rc != 0) {
    pid_ = -1;
    ::close(pipeFds[0]);
    ADD_FAILURE() << "cannot start " << args[0];
    return false;
  }
  reader_ = std::thread(&ServerProcess::ReadLog, this, pipeFds[0]);
  const std::string prefix = "KvQSrv: listening on 127.0.0.1:";
  if (!WaitForLog(prefix, 1, 30000)) {
    ADD_FAILURE() << "KvQSrv did not start:\n" << LogText();
    return false;
  }
  for (const std::string& line : Log()) {
    if (line.compare(0, prefix.size(), prefix) == 0) port_ = std::atoi(line.c_str() + prefix.size());
  }
  return port_ > 0;
}

void ServerProcess::PointClientHere() const {
  Kvsetenv("KivoServerHost", "127.0.0.1");
  Kvsetenv("KivoServerPort", std::to_string(port_).c_str());
}

int ServerProcess::Stop(int signal) {
  if (pid_ <= 0) return -1;
  ::kill(pid_, signal);
  int status = 0;
  const pid_t done = ::waitpid(pid_, &status, 0);
  pid_ = -1;
  if (reader_.joinable()) reader_.join();
  if (done < 0) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void ServerProcess::ReadLog(int fd) {
  std::string pending;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    pending.append(buffer, static_cast<size_t>(n));
    size_t nl;
    while ((nl = pending.find('\n')) != std::string::npos) {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.push_back(pending.substr(0, nl));
      pending.erase(0, nl + 1);
      changed_.notify_all();
    }
  }
  ::close(fd);
  std::lock_guard<std::mutex> lock(mutex_);
  if (!pending.empty()) lines_.push_back(pending);
  closed_ = true;
  changed_.notify_all();
}

std::vector<std::string> ServerProcess::Log() {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

std::string ServerProcess::LogText() {
  std::string all;
  for (const std::string& line : Log()) all += line + "\n";
  return all;
}

bool ServerProcess::WaitForLog(const std::string& text, size_t count, int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [&] { return closed_ || CountLines(lines_, text) >= count; }) &&
         CountLines(lines_, text) >= count;
}

size_t CountLines(const std::vector<std::string>& lines, const std::string& text) {
  size_t n = 0;
  for (const std::string& line : lines) n += line.find(text) != std::string::npos;
  return n;
}

RawPeer::RawPeer(int port) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return;
  SetTimeouts(fd_);
  sockaddr_in a = Loopback(port);
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) Close();
}

bool RawPeer::Send(const std::string& bytes) { return WriteBytes(fd_, bytes); }

std::string RawPeer::Receive(size_t n) { return ReadBytes(fd_, n); }

void RawPeer::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

std::string ReadBytes(int fd, size_t n) {
  std::string out(n, '\0');
  out.resize(KvRecvSocket(fd, reinterpret_cast<unsigned char*>(&out[0]), n));
  return out;
}

bool WriteBytes(int fd, const std::string& bytes) {
  return KvSendSocket(fd, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()) == bytes.size();
}

FakeServer::FakeServer(std::function<void(int fd)> handler, int port) {
  listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_ < 0) return;
  const int on = 1;
  ::setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in a = Loopback(port);
  if (::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listen_, 4) != 0) {
    ::close(listen_);
    listen_ = -1;
    return;
  }
  socklen_t length = sizeof a;
  ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &length);
  port_ = ntohs(a.sin_port);
  thread_ = std::thread([this, handler] {
    pollfd p{listen_, POLLIN, 0};
    if (::poll(&p, 1, kTimeoutSeconds * 1000) != 1) return;
    const int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    accepted_ = true;
    SetTimeouts(fd);
    handler(fd);
    ::close(fd);
  });
}

bool FakeServer::Join() {
  if (thread_.joinable()) thread_.join();
  return accepted_;
}

FakeServer::~FakeServer() {
  Join();
  if (listen_ >= 0) ::close(listen_);
}

}  // namespace stest
