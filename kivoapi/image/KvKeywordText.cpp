// Keyword text files of images.
//
// The text of image a.jpg is the file a.jpg.txt, looked for in the current
// directory, then in the text directory that mirrors the image's directory
// (images under /data/images/set1/ have their texts under /data/text/set1/),
// then along the setting "KivoTextPath".
#include "image/KvKeywordText.h"
#include "core/KvRegularFile.h"

#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "core/KvEnv.h"
#include "core/KvError.h"

namespace {

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

bool IsAbsoluteName(const std::string& name) {
  return (!name.empty() && IsSeparator(name[0])) || (name.size() > 1 && name[1] == ':');
}

// Splits path at '/' and '\\' into its components, resolving "." and "..".
std::vector<std::string> Components(const std::string& path) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = start;
    while (end < path.size() && !IsSeparator(path[end])) ++end;
    std::string part = path.substr(start, end - start);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  return parts;
}

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};

// Merges each run of white space in text[0, length) into one blank, in place,
// and drops NUL bytes. Returns the number of characters kept.
size_t MergeWhiteSpace(char* text, size_t length) {
  size_t kept = 0;
  bool inSpace = false;
  for (size_t i = 0; i < length; ++i) {
    const char c = text[i];
    if (c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r') {
      if (!inSpace) text[kept++] = ' ';
      inSpace = true;
    } else if (c != '\0') {
      text[kept++] = c;
      inSpace = false;
    }
  }
  return kept;
}

}  // namespace

bool KvAbsoluteDirectory(const std::string& directory, std::string* out) {
  std::string full = directory;
  std::string drive;
  if (full.size() > 1 && full[1] == ':') {
    drive = full.substr(0, 2);
    full = full.substr(2);
  } else if (!IsAbsoluteName(full)) {
    char cwd[PATH_MAX];
    if (::getcwd(cwd, sizeof cwd) == nullptr) {
      KvError(KERR_General, KERR_NonFatal, "KvAnyrd:KvAnyread: the current directory is unknown");
      return false;
    }
    full = std::string(cwd) + "/" + full;
  }
  std::string result = drive + "/";
  for (const std::string& part : Components(full)) result += part + "/";
  if (result.size() > kKvMaxTextDirectory) {
    KvError(KERR_General, KERR_NonFatal,
            "KvAnyrd:KvAnyread: image directory too long for the keyword text search");
    return false;
  }
  *out = result;
  return true;
}

std::string KvTextDirectory(const std::string& absoluteDirectory) {
  std::string drive;
  std::string path = absoluteDirectory;
  if (path.size() > 1 && path[1] == ':') {
    drive = path.substr(0, 2);
    path = path.substr(2);
  }
  const std::vector<std::string> parts = Components(path);
  if (parts.size() < 2) return "./";
  std::string text = drive + "/";
  for (size_t i = 0; i + 2 < parts.size(); ++i) text += parts[i] + "/";
  return text + "text/" + parts.back() + "/";
}

int KvReadKeywordText(const char* foundName, const char* fileName, bool testImage, char* text,
                      int* textSize) {
  const size_t capacity = static_cast<size_t>(*textSize);
  text[0] = '\0';
  *textSize = 0;

  // The search list: the derived text directory first (none for a test image,
  // which has no directory), then the setting.
  std::string textName;
  std::string searchList;
  if (testImage) {
    textName = std::string(fileName) + ".txt";
  } else {
    const std::string found = foundName;
    const std::string name = fileName;
    std::string directory;
    if (IsAbsoluteName(name)) {
      size_t cut = found.size();
      while (cut > 0 && !IsSeparator(found[cut - 1])) --cut;
      directory = found.substr(0, cut);
      textName = found.substr(cut) + ".txt";
    } else {
      // The search put the name at the end of the path it found.
      if (found.size() < name.size() || found.compare(found.size() - name.size(), name.size(), name) != 0) {
        KvError(KERR_General, KERR_NonFatal, "KvAnyrd:KvAnyread: image path does not end with its name");
        return -1;
      }
      directory = found.substr(0, found.size() - name.size());
      textName = name + ".txt";
    }
    std::string absolute;
    if (!KvAbsoluteDirectory(directory, &absolute)) return -1;
    searchList = KvTextDirectory(absolute) + ";";
  }
  const char* textPath = Kvgetenv("KivoTextPath");
  if (textPath != nullptr) searchList += textPath;

  char path[200];
  const int rc = findfile(KV_FIND_CURRENT_DIR, searchList.c_str(), textName.c_str(), path, sizeof path);
  if (rc < 0) return -1;
  if (rc > 0) return 0;  // no keyword text: an empty one
  std::unique_ptr<FILE, FileCloser> file(KvOpenRegularFile(path, "r"));
  if (file == nullptr) return 0;  // unreadable counts as absent
  const size_t length = std::fread(text, 1, capacity - 1, file.get());
  const size_t kept = MergeWhiteSpace(text, length);
  text[kept] = '\0';
  *textSize = static_cast<int>(kept + 1);
  return 0;
}
