// KivoWrapClass: the thumbnail command (KvMkThmb) and single thumbnails.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "KivoWrap.h"
#include "core/KvRegularFile.h"
#include "core/KvEnv.h"
#include "core/KvError.h"
#include "image/KvThumbnail.h"

namespace {

constexpr char kWhere[] = "KivoWrapClass::MakeThumbnails";
constexpr char kDefaultSuffix[] = ".thumb0.gif";
// List lines are read into 255 bytes: at most 254 characters of a name.
constexpr int kListLineSize = 255;
constexpr int kFoundNameSize = 200;

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// Reads one line of at most kListLineSize - 1 characters into line (without
// its line feed). *tooLong is set, and the rest of the line skipped, when the
// line does not fit. False at the end of the file.
bool ReadListLine(FILE* file, char (&line)[kListLineSize], bool* tooLong) {
  *tooLong = false;
  if (std::fgets(line, kListLineSize, file) == nullptr) return false;
  char* feed = std::strchr(line, '\n');
  if (feed != nullptr) {
    *feed = '\0';
    return true;
  }
  const int next = std::fgetc(file);
  if (next == '\n' || next == EOF) return true;
  *tooLong = true;
  int c = next;
  while (c != '\n' && c != EOF) c = std::fgetc(file);
  return true;
}

}  // namespace

int KivoWrapClass::MakeThumbnail(const char* image, const char* thumbnail) {
  const Boolean pad = thumbnailPad_ != 0 ? True : False;
  if (thumbnail24Bit_ != 0) {
    return KvReadImageWrite24bitThumbnail(image, thumbnail, thumbnailWidth_, thumbnailHeight_, pad);
  }
  return KvReadImageWriteThumbnail(image, thumbnail, thumbnailWidth_, thumbnailHeight_, pad);
}

int KivoWrapClass::MakeThumbnails(int argc, char** argv, KvStringClass* out) {
  if (argc < 2 || argv == nullptr) {
    MakeThumbnailsUsage(stdout, out);
    Close();
    return 0;
  }
  // Refuses the command line: the usage text, and the reason in the error
  // record for the caller to print.
  auto refuse = [&](const char* why) {
    MakeThumbnailsUsage(stdout, out);
    char text[160];
    std::snprintf(text, sizeof text, "%s: %s", kWhere, why);
    KvError(KERR_General, KERR_NonFatal, text);
    Close();
    return -1;
  };

  const char* outputDirectory = nullptr;
  const char* suffix = kDefaultSuffix;
  FilePtr list;
  int i = 1;
  for (; i < argc && argv[i] != nullptr && argv[i][0] == '-'; ++i) {
    if (std::strcmp(argv[i], "--") == 0) {
      // The options end here; the names after it may begin with '-'.
      ++i;
      break;
    }
    const char letter = argv[i][1];
    const bool takesValue = std::strchr("whosle", letter) != nullptr && letter != '\0';
    if (takesValue && i + 1 >= argc) {
      char why[64];
      std::snprintf(why, sizeof why, "option -%c needs a value", letter);
      return refuse(why);
    }
    switch (letter) {
      case 'p': SetThumbnailPad(1); break;
      case 'n': SetThumbnailPad(0); break;
      case 'c': SetThumbnail24Bit(0); break;
      case 't': SetThumbnail24Bit(1); break;
      case 'w': thumbnailWidth_ = std::atoi(argv[++i]); break;
      case 'h': thumbnailHeight_ = std::atoi(argv[++i]); break;
      case 'o': outputDirectory = argv[++i]; break;
      case 's': suffix = argv[++i]; break;
      case 'l': {
        const char* name = argv[++i];
        list.reset(KvOpenRegularFile(name, "r"));
        if (list == nullptr) {
          const char* message = "Image list file cannot be opened";
          if (verbose_) std::fprintf(stderr, "%s\n", message);
          if (out != nullptr) out->Assign(message);
          KvError(KERR_OpenFile, KERR_NonFatal, kWhere, name);
          Close();
          return -1;
        }
        break;
      }
      case 'e': {
        const std::string pair = argv[++i];
        const size_t equals = pair.find('=');
        if (equals == std::string::npos) {
          std::fputs("EnvVar=EnvValue pair missing = sign -- ignoring\n", stdout);
        } else if (Kvsetenv(pair.substr(0, equals).c_str(), pair.c_str() + equals + 1) != 0) {
          std::printf("Environment variable %s unknown to Kivo -- ignoring\n", pair.substr(0, equals).c_str());
        }
        break;
      }
      default: break;  // unknown options are ignored and take no value
    }
  }

  // Reports one thumbnail: to standard output for the tools (or when
  // verbose), and as the text of out when one is given.
  auto report = [&](const std::string& thumbnailName, int result) {
    std::string message = "Create thumbnail " + thumbnailName;
    if (result == 0) {
      message += " successful";
    } else {
      message += " failed due to ";
      message += GetErrorMSG();
    }
    if (out == nullptr || verbose_) std::printf("%s\n", message.c_str());
    if (out != nullptr) out->Assign(message.c_str());
  };

  int result = 0;
  if (list != nullptr) {
    const char* searchPath = Kvgetenv("KivoImagePath");
    char line[kListLineSize];
    bool tooLong = false;
    while (ReadListLine(list.get(), line, &tooLong)) {
      size_t length = 0;
      while (line[length] != '\0' && !std::isspace(static_cast<unsigned char>(line[length]))) ++length;
      line[length] = '\0';
      if (length == 0 && !tooLong) continue;  // blank lines name no image
      std::string thumbnailName = outputDirectory != nullptr ? std::string(outputDirectory) + "/" : "";
      thumbnailName += line;
      thumbnailName += suffix;
      if (tooLong) {
        KvError(KERR_General, KERR_NonFatal, "KivoWrapClass::MakeThumbnails: image name longer than 254 characters");
        result = 1;
        report(thumbnailName, result);
        continue;
      }
      char source[kFoundNameSize];
      const int found = findfile(KV_FIND_CURRENT_DIR, searchPath, line, source, kFoundNameSize - 1);
      if (found < 0) {
        result = 1;  // the found path does not fit; findfile said why
      } else {
        // A name that is not found is passed on as written, so the failure
        // names it.
        result = MakeThumbnail(found == 0 ? source : line, thumbnailName.c_str());
      }
      report(thumbnailName, result);
    }
  } else {
    if (argc - i < 2) return refuse("an image name and a thumbnail name are needed");
    result = MakeThumbnail(argv[i], argv[i + 1]);
    report(argv[i + 1], result);
  }
  Close();
  return result;
}
