// Case folding of UTF-8 text for keyword matching that ignores case.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kivo {

// The text with every letter in lower case (by the C.UTF-8 rules, so
// accented and non-Latin letters too). Bytes that are not well-formed UTF-8
// are kept as they are.
std::string FoldCase(std::string_view text);

// Appends the UTF-8 bytes of one code point.
void AppendUtf8(std::string& out, uint32_t codePoint);

}  // namespace kivo
