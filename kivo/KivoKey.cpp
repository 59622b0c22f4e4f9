// Key encoding and lexical path handling.
#include "KivoKey.h"

#include <unistd.h>

#include <climits>

#include <vector>

namespace kivo {
namespace {

bool Escaped(unsigned char c) {
  if (c <= 0x20 || c == 0x7F) return true;
  switch (c) {
    case '%':
    case '<':
    case '>':
    case '"':
    case '\\':
    case '{':
    case '}':
      return true;
    default:
      return false;
  }
}

// Length of the well-formed UTF-8 sequence starting at s[i] (2 to 4), or 0.
size_t Utf8Sequence(std::string_view s, size_t i) {
  const auto c = static_cast<unsigned char>(s[i]);
  size_t n = 0;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) lo = 0xA0;  // no overlong forms
    if (c == 0xED) hi = 0x9F;  // no surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  const auto second = static_cast<unsigned char>(s[i + 1]);
  if (second < lo || second > hi) return 0;
  for (size_t k = 2; k < n; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if (b < 0x80 || b > 0xBF) return 0;
  }
  return n;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

void SplitComponents(std::string_view path, std::vector<std::string_view>& parts) {
  size_t i = 0;
  while (i <= path.size()) {
    size_t j = path.find('/', i);
    if (j == std::string_view::npos) j = path.size();
    std::string_view part = path.substr(i, j - i);
    if (part.empty() || part == ".") {
      // dropped
    } else if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else {
      parts.push_back(part);
    }
    i = j + 1;
  }
}

}  // namespace

std::string EncodeKey(std::string_view path) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string key;
  key.reserve(path.size());
  for (size_t i = 0; i < path.size();) {
    const auto c = static_cast<unsigned char>(path[i]);
    if (c >= 0x80) {
      const size_t n = Utf8Sequence(path, i);
      if (n > 0) {
        key.append(path.substr(i, n));
        i += n;
        continue;
      }
    } else if (!Escaped(c)) {
      key.push_back(static_cast<char>(c));
      ++i;
      continue;
    }
    key.push_back('%');
    key.push_back(kHex[c >> 4]);
    key.push_back(kHex[c & 15]);
    ++i;
  }
  return key;
}

bool DecodeKey(std::string_view key, std::string* path) {
  std::string out;
  out.reserve(key.size());
  for (size_t i = 0; i < key.size(); ++i) {
    if (key[i] != '%') {
      out.push_back(key[i]);
      continue;
    }
    if (i + 2 >= key.size()) return false;
    const int hi = HexValue(key[i + 1]), lo = HexValue(key[i + 2]);
    if (hi < 0 || lo < 0) return false;
    out.push_back(static_cast<char>(hi * 16 + lo));
    i += 2;
  }
  *path = std::move(out);
  return true;
}

std::string NormalisePath(std::string_view path, std::string_view base) {
  std::vector<std::string_view> parts;
  if (path.empty() || path[0] != '/') SplitComponents(base, parts);
  SplitComponents(path, parts);
  std::string out;
  for (std::string_view part : parts) {
    out.push_back('/');
    out.append(part);
  }
  return out.empty() ? std::string("/") : out;
}

bool RelativeTo(std::string_view root, std::string_view path, std::string* relative) {
  if (root == "/") {
    if (path.empty() || path[0] != '/') return false;
    *relative = std::string(path.substr(1));
    return true;
  }
  if (path.size() < root.size() || path.compare(0, root.size(), root) != 0) return false;
  if (path.size() == root.size()) {
    relative->clear();
    return true;
  }
  if (path[root.size()] != '/') return false;
  *relative = std::string(path.substr(root.size() + 1));
  return true;
}

std::string CommonDirectory(const std::string* paths, size_t count) {
  if (count == 0) return "/";
  std::string common = paths[0];
  for (size_t i = 1; i < count; ++i) {
    std::string rel;
    while (!RelativeTo(common, paths[i], &rel)) {
      const size_t slash = common.rfind('/');
      common = slash == 0 ? "/" : common.substr(0, slash);
    }
  }
  return common;
}

std::string CurrentDirectory() {
  char buffer[PATH_MAX];
  return getcwd(buffer, sizeof buffer) != nullptr ? std::string(buffer) : std::string("/");
}

}  // namespace kivo
