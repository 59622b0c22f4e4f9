#include "KivoFold.h"

#include <clocale>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <locale.h>

namespace kivo {
namespace {

// The C.UTF-8 locale, made once; null when the system has none (then only
// ASCII letters are folded).
locale_t Utf8Locale() {
  static const locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  return locale;
}

}  // namespace

std::string FoldCase(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  const locale_t locale = Utf8Locale();
  size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      out.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : static_cast<char>(c));
      ++i;
      continue;
    }
    // Decode one sequence by hand: mbrtowc would need the thread's locale.
    size_t n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 0;
    uint32_t u = n == 4 ? (c & 0x07) : n == 3 ? (c & 0x0F) : (c & 0x1F);
    bool ok = n > 0 && i + n <= text.size();
    for (size_t k = 1; ok && k < n; ++k) {
      const auto b = static_cast<unsigned char>(text[i + k]);
      ok = (b & 0xC0) == 0x80;
      u = (u << 6) | (b & 0x3F);
    }
    if (!ok || locale == nullptr) {
      out.push_back(static_cast<char>(c));
      ++i;
      continue;
    }
    AppendUtf8(out, static_cast<uint32_t>(towlower_l(static_cast<wint_t>(u), locale)));
    i += n;
  }
  return out;
}

void AppendUtf8(std::string& out, uint32_t u) {
  if (u < 0x80) {
    out.push_back(static_cast<char>(u));
  } else if (u < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (u >> 6)));
    out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
  } else if (u < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (u >> 12)));
    out.push_back(static_cast<char>(0x80 | ((u >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (u >> 18)));
    out.push_back(static_cast<char>(0x80 | ((u >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((u >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
  }
}

}  // namespace kivo
