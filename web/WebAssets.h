// The page's files (web/assets/), compiled into the program so that the
// server needs nothing installed beside it.
#pragma once

#include <cstddef>
#include <string>

namespace kivo {
namespace web {

struct Asset {
  const char* path;  // "/index.html", "/app.js", ...
  const char* type;  // its MIME type
  const unsigned char* data;
  size_t size;
};

// The asset served at path ("/" is "/index.html"), or null.
const Asset* FindAsset(const std::string& path);

}  // namespace web
}  // namespace kivo
