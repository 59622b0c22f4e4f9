// Image keys of the kivo command: a file's path relative to the catalog root,
// written so that it survives every text form of the system.
//
// The stored key is the relative path with '/' between components and these
// bytes written as '%' and two upper-case hexadecimal digits: '%' itself,
// blanks and other ASCII white space and control characters, DEL, the
// characters < > " \ { }, and every byte that is not part of a well-formed
// UTF-8 sequence. A key therefore holds no white space (result-set texts,
// query texts and the server exchange split at white space), no '>' (which
// ends an embedded text), and is valid UTF-8; DecodeKey gives the path back
// exactly. "Summer 2019/beach day.jpg" is stored as
// "Summer%202019/beach%20day.jpg".
#pragma once

#include <string>
#include <string_view>

namespace kivo {

std::string EncodeKey(std::string_view relativePath);
// The path a key stands for. False for a '%' that is not followed by two
// hexadecimal digits (the text is then not a key written by EncodeKey).
bool DecodeKey(std::string_view key, std::string* relativePath);

// Lexically normalised absolute form of path: relative paths are taken from
// base (an absolute directory), "." and empty components are dropped, ".."
// removes the previous component (never above "/"), and the result has no
// trailing '/' except for the root itself.
std::string NormalisePath(std::string_view path, std::string_view base);

// The path of absolutePath below root (both normalised), empty when it is the
// root itself. False when absolutePath does not lie inside root.
bool RelativeTo(std::string_view root, std::string_view absolutePath, std::string* relative);

// The current directory ("/" when it cannot be learnt).
std::string CurrentDirectory();

// The deepest directory that holds every one of the (normalised, absolute)
// paths.
std::string CommonDirectory(const std::string* paths, size_t count);

}  // namespace kivo
