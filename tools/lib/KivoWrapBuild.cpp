// KivoWrapClass::MakeDatabase: fills a catalog with the feature records of
// image files (and of masked parts of them), or removes records.
//
// An image/mask spec is either one image name, or an image name followed
// by a parenthesised list of mask names: "img ( m1 m2 ) ". Each mask makes a
// sub-part record keyed by the mask name.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "KivoWrap.h"
#include "core/KvRegularFile.h"
#include "KivoWrapText.h"
#include "core/KvEnv.h"
#include "core/KvError.h"
#include "features/KvFeature.h"
#include "storage/KvCatalog.h"
#include "storage/KvStoreEnv.h"

using kivowrap::CopyName;

namespace {

// Image/mask specs and list-file lines are limited to this many bytes,
// including the terminating NUL.
constexpr size_t kSpecBufferSize = 2000;

// The words of an image/mask spec: image words outside the parentheses, mask
// words inside.
struct SpecWords {
  std::vector<std::string> images;
  std::vector<std::string> masks;
};

SpecWords SplitSpec(const char* spec) {
  SpecWords words;
  bool inMasks = false;
  const char* p = spec != nullptr ? spec : "";
  while (*p != '\0') {
    while (*p != '\0' && std::isspace(static_cast<unsigned char>(*p))) ++p;
    const char* start = p;
    while (*p != '\0' && !std::isspace(static_cast<unsigned char>(*p))) ++p;
    if (p == start) break;
    std::string word(start, p);
    if (word == "(") {
      inMasks = true;
    } else if (word == ")") {
      inMasks = false;
    } else {
      (inMasks ? words.masks : words.images).push_back(std::move(word));
    }
  }
  return words;
}

bool IsBlankText(const char* text) {
  for (; *text != '\0'; ++text) {
    if (!std::isspace(static_cast<unsigned char>(*text))) return false;
  }
  return true;
}

// Reads one line of at most capacity - 1 bytes, newline included, into
// buffer. Returns false at the end of the file. A longer line is consumed
// to its end and reported through tooLong; the buffer then holds its start.
bool ReadListLine(FILE* file, char* buffer, size_t capacity, bool& tooLong) {
  tooLong = false;
  if (std::fgets(buffer, static_cast<int>(capacity), file) == nullptr) return false;
  const size_t length = std::strlen(buffer);
  if (length > 0 && buffer[length - 1] == '\n') return true;
  const int next = std::fgetc(file);
  if (next == EOF) return true;
  tooLong = true;
  int c = next;
  while (c != EOF && c != '\n') c = std::fgetc(file);
  return true;
}

// Drops the line end. A line that ends with the closing parenthesis of a
// mask list gets the blank that follows it in a spec built from the
// command line, so "img ( m1 m2 )" reads as "img ( m1 m2 ) " does.
void NormaliseListLine(char* line, size_t capacity) {
  size_t length = std::strlen(line);
  while (length > 0 && (line[length - 1] == '\n' || line[length - 1] == '\r')) line[--length] = '\0';
  if (length > 0 && line[length - 1] == ')' && length + 2 <= capacity) {
    line[length] = ' ';
    line[length + 1] = '\0';
  }
}

// One line of the build (an image with its masks, or the names to remove) is
// one change of the catalog: an image is stored with every feature record and
// mask or not at all. Removals keep what they took out when a later name of
// the line was not found.
int AsOneChange(KvCatalogClass* catalog, bool keepPartial, const std::function<int()>& body) {
  KvStoreWriteScope scope(catalog != nullptr ? catalog->GetConnection() : nullptr);
  if (!scope.Ok()) return -1;
  const int rc = body();
  if (!keepPartial) return scope.Finish(rc);
  const int committed = scope.Commit();
  return rc != 0 ? rc : committed;
}

void RecordTooLong(const char* what) {
  const std::string message =
      std::string(what) + " longer than " + std::to_string(kSpecBufferSize - 1) + " characters";
  KvError(KERR_General, KERR_NonFatal, message.c_str());
}

}  // namespace

int KivoWrapClass::IsImageMaskSpec(const char* spec) {
  return spec != nullptr && std::strstr(spec, " ( ") != nullptr && std::strstr(spec, " ) ") != nullptr;
}

int KivoWrapClass::ProcessImageSpec(const char* spec, int deleteFlag) {
  if (IsImageMaskSpec(spec)) return deleteFlag ? DeleteMasks(spec) : AddImageWithMasks(spec);
  return deleteFlag ? DeleteImages(spec) : AddImages(spec);
}

int KivoWrapClass::AddRecordsForKey(const char* key) {
  const int rc = catalog_->AddFeatureRecords(key, &recordImage_, features_, parameterSets_,
                                             &featureCount_, addMode_);
  // With an empty feature list the catalog fills the arrays with its own
  // classes; keep the names beside them.
  if (featureCount_ > kKivoMaxFeatures) featureCount_ = kKivoMaxFeatures;
  for (int i = 0; i < featureCount_; ++i) {
    if (featureNames_[i][0] == '\0' && features_[i] != nullptr) {
      CopyName(featureNames_[i], features_[i]->GetClassName());
    }
  }
  return rc;
}

bool KivoWrapClass::CheckCatalogOpen() {
  if (catalog_ == nullptr) {
    KvError(KERR_General, KERR_Fatal, "catalog not opened");
    return false;
  }
  return true;
}

int KivoWrapClass::AddImageWord(const char* image) {
  if (image[0] == '\0') {
    KvError(KERR_General, KERR_NonFatal, "no image name in the image/mask specs");
    return -1;
  }
  if (recordImage_.ReadImageDataFromFile(image, nullptr, False) != 0) return -1;
  return AddRecordsForKey(image);
}

int KivoWrapClass::AddImages(const char* spec) {
  return kivowrap::Guarded("KivoWrapClass::AddImages", [&]() -> int {
    if (!CheckCatalogOpen()) return -1;
    return AsOneChange(catalog_, false, [&]() -> int {
    const SpecWords words = SplitSpec(spec);
    // Only the first image of an image/mask spec is added.
    return AddImageWord(words.images.empty() ? "" : words.images.front().c_str());
    });
  });
}

int KivoWrapClass::DeleteImages(const char* spec) {
  return kivowrap::Guarded("KivoWrapClass::DeleteImages", [&]() -> int {
    if (!CheckCatalogOpen()) return -1;
    return AsOneChange(catalog_, true, [&]() -> int {
    const SpecWords words = SplitSpec(spec);
    for (const std::string& image : words.images) {
      const int rc = catalog_->DeleteRecord(image.c_str(), static_cast<const char*>(nullptr));
      if (rc != 0) return rc;
    }
    return 0;
    });
  });
}

int KivoWrapClass::AddImageWithMasks(const char* spec) {
  return kivowrap::Guarded("KivoWrapClass::AddImageWithMasks", [&]() -> int {
    if (!CheckCatalogOpen()) return -1;
    return AsOneChange(catalog_, false, [&]() -> int {
    const SpecWords words = SplitSpec(spec);
    const std::string image = words.images.empty() ? std::string() : words.images.front();
    int rc = AddImageWord(image.c_str());
    if (rc != 0) return rc;
    for (const std::string& mask : words.masks) {
      if (recordImage_.UpdateMaskInImageObject(mask.c_str()) != 0) return -1;
      rc = AddRecordsForKey(mask.c_str());
      // A mask that could not be stored fails the whole image/mask line, so that its
      // report line does not claim success.
      if (rc != 0) return rc;
      rc = catalog_->AddSubPartRecord(image.c_str(), mask.c_str(), &recordImage_);
      if (rc != 0) return rc;
    }
    return 0;
    });
  });
}

int KivoWrapClass::DeleteMasks(const char* spec) {
  return kivowrap::Guarded("KivoWrapClass::DeleteMasks", [&]() -> int {
    if (!CheckCatalogOpen()) return -1;
    return AsOneChange(catalog_, true, [&]() -> int {
    const SpecWords words = SplitSpec(spec);
    for (const std::string& mask : words.masks) {
      const int rc = catalog_->DeleteSubPartRecord(mask.c_str());
      if (rc == 1) {
        // Nothing was stored under that name: the deletion did not happen.
        const std::string text = "Sub-part " + mask + " not found in catalog";
        KvError(KERR_General, KERR_NonFatal, text.c_str());
      }
      if (rc != 0) return rc;
    }
    return 0;
    });
  });
}

void KivoWrapClass::ReportSpec(int count, const char* spec, int result, KvStringClass* out) {
  const char* format = "<%d> %s of image/mask specs %s in database=%s ";
  if (out == nullptr || verbose_) {
    std::printf(format, count, modeText_, spec, databaseName_);
    if (result == 0) {
      std::printf("catalog=%s successful\n", catalogName_);
    } else {
      std::printf("catalog=%s unsuccessful due to %s\n", catalogName_, GetErrorMSG());
    }
  } else {
    out->AppendFormat(format, count, modeText_, spec, databaseName_);
    if (result == 0) {
      out->AppendFormat("catalog=%s successful\n", catalogName_);
    } else {
      out->AppendFormat("catalog=%s unsuccessful due to %s\n", catalogName_, GetErrorMSG());
    }
  }
  std::fflush(stdout);
  std::fflush(stderr);
}

void KivoWrapClass::ApplySetting(char* assignment) {
  char* equals = std::strchr(assignment, '=');
  if (equals == nullptr) {
    std::printf("EnvVar=EnvValue pair missing = sign %s-- ignoring\n", assignment);
    return;
  }
  // The setting keeps its own copy of the value, so the argument is put back
  // as it was.
  *equals = '\0';
  if (Kvsetenv(assignment, equals + 1) != 0) {
    std::printf("Environment variable %s unknown to Kivo -- ignoring\n", assignment);
  }
  *equals = '=';
}

int KivoWrapClass::EraseFromOptions(int argc, KvStringClass* out) {
  if (argc > 1 || imageListFile_ != nullptr) {
    KvError(KERR_General, KERR_Fatal, "-E erases and takes no image/mask specs");
    return -1;
  }
  auto report = [&](int count, const std::string& what, int rc) {
    std::string line = "<" + std::to_string(count) + "> Erase of " + what + " in database=" + databaseName_ +
                       " catalog=" + catalogName_ +
                       (rc == 0 ? std::string(" successful\n") : " unsuccessful due to " + std::string(GetErrorMSG()) + "\n");
    if (out == nullptr || verbose_) {
      std::fputs(line.c_str(), stdout);
      std::fflush(stdout);
    } else {
      out->Append(line.c_str());
    }
  };
  int result = 0;
  if (featureCount_ == 0) {
    result = catalog_->DeleteCatalog(catalogName_);
    report(1, "catalog", result);
    return result;
  }
  for (int i = 0; i < featureCount_; ++i) {
    const int rc = catalog_->DeleteFeatureClass(featureNames_[i]);
    report(i + 1, std::string("feature ") + featureNames_[i], rc);
    if (rc != 0) result = rc;
  }
  return result;
}

int KivoWrapClass::MakeDatabase(int argc, char** argv, KvStringClass* out) {
  return kivowrap::Guarded("KivoWrapClass::MakeDatabase", [&]() -> int {
    if (argc <= 1) return MakeDatabaseUsage(stdout, out);
    if (OpenFromOptions(argc, argv, "w") != 0) {
      // The reason is in the error record; a command that built nothing must
      // not look successful.
      MakeDatabaseUsage(stderr, out);
      Close();
      return -1;
    }

    if (kivowrap::TakeFlag(argc, argv, 'E')) eraseFlag_ = 1;
    if (kivowrap::TakeFlag(argc, argv, 'r')) {
      deleteFlag_ = 1;
      modeText_ = "Deletion";
    }
    if (kivowrap::TakeFlag(argc, argv, 'i')) {
      addMode_ = KV_MODE_INCREMENTAL;
      modeText_ = "Incremental Update";
    }
    if (kivowrap::TakeFlag(argc, argv, 'u')) {
      addMode_ = KV_MODE_UPDATE;
      modeText_ = "Update";
    }
    if (kivowrap::TakeFlag(argc, argv, 'U')) {
      addMode_ = KV_MODE_FORCE_UPDATE;
      modeText_ = "Update";
    }
    // Deletion wins over the update modes; the report says what was done.
    if (deleteFlag_) modeText_ = "Deletion";
    imageListFile_ = GetOption(argc, argv, 'l', 0);
    while (char* assignment = GetOption(argc, argv, 'e', 0)) ApplySetting(assignment);
    kivowrap::DropOptionsEnd(argc, argv);

    if (eraseFlag_) {
      const int erased = EraseFromOptions(argc, out);
      Close();
      return erased;
    }

    int result = 0;
    int count = 0;
    int failed = 0;
    int lastFailure = 0;
    auto report = [&](const char* spec) {
      if (result != 0) {
        ++failed;
        lastFailure = result;
      }
      ReportSpec(count, spec, result, out);
    };
    if (imageListFile_ != nullptr) {
      FILE* file = KvOpenRegularFile(imageListFile_, "r");
      if (file == nullptr) {
        KvError(KERR_OpenFile, KERR_Fatal, "KivoWrapClass::MakeDatabase", imageListFile_);
        Close();
        return -1;
      }
      std::unique_ptr<FILE, int (*)(FILE*)> guard(file, std::fclose);
      char line[kSpecBufferSize];
      bool tooLong = false;
      while (ReadListLine(file, line, sizeof line, tooLong)) {
        NormaliseListLine(line, sizeof line);
        // Blank lines (a trailing empty line, separators) name no image.
        if (!tooLong && IsBlankText(line)) continue;
        ++count;
        if (tooLong) {
          RecordTooLong("image list line");
          result = -1;
        } else {
          result = ProcessImageSpec(line, deleteFlag_);
        }
        if (result != 0 && GetErrorMSGSeverity() == KERR_Fatal) {
          result = -1;
          report(line);
          break;
        }
        report(line);
      }
    } else {
      int i = 1;
      while (i < argc) {
        std::string spec;
        if (std::strcmp(argv[i], "+p") != 0) {
          spec = argv[i++];
        } else {
          if (i == argc - 1) break;
          ++i;
          if (std::strcmp(argv[i], "(") != 0) {
            spec += argv[i++];
            spec += ' ';
          }
          while (i < argc && argv[i][0] != '-') {
            const bool closes = argv[i][0] == ')';
            spec += argv[i++];
            spec += ' ';
            if (closes) break;
          }
        }
        std::string trimmed = spec;
        while (!trimmed.empty() && trimmed.back() == ' ') trimmed.pop_back();
        if (trimmed.empty() || trimmed == "( )") continue;
        ++count;
        if (spec.size() >= kSpecBufferSize) {
          RecordTooLong("image/mask spec");
          result = -1;
        } else {
          result = ProcessImageSpec(spec.c_str(), deleteFlag_);
        }
        report(spec.c_str());
      }
    }
    // One failure among many report lines is easy to miss: the counts close
    // the report, and the command fails when any spec failed.
    if (count > 0 && (out == nullptr || verbose_)) {
      std::printf("%d image/mask specs: %d successful, %d unsuccessful\n", count, count - failed, failed);
      std::fflush(stdout);
    }
    if (failed > 0) result = lastFailure;
    Close();
    return result;
  });
}
