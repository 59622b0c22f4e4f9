#include "KivoSketch.h"

#include <nlohmann/json.hpp>

namespace kivo {
namespace {

using nlohmann::json;

bool Int(const json& o, const char* name, int lo, int hi, int* out, std::string* error) {
  auto it = o.find(name);
  if (it == o.end() || !it->is_number_integer()) {
    *error = std::string("sketch: \"") + name + "\" must be an integer";
    return false;
  }
  const auto v = it->get<long long>();
  if (v < lo || v > hi) {
    *error = std::string("sketch: \"") + name + "\" must lie between " + std::to_string(lo) + " and " +
             std::to_string(hi);
    return false;
  }
  *out = static_cast<int>(v);
  return true;
}

int Hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool Colour(const json& v, int rgb[3], std::string* error) {
  if (v.is_string()) {
    const std::string s = v.get<std::string>();
    if (s.size() == 7 && s[0] == '#') {
      bool ok = true;
      for (int i = 0; i < 3; ++i) {
        const int hi = Hex(s[1 + 2 * i]), lo = Hex(s[2 + 2 * i]);
        ok = ok && hi >= 0 && lo >= 0;
        rgb[i] = hi * 16 + lo;
      }
      if (ok) return true;
    }
  } else if (v.is_array() && v.size() == 3) {
    bool ok = true;
    for (int i = 0; i < 3; ++i) {
      ok = ok && v[i].is_number_integer() && v[i].get<long long>() >= 0 && v[i].get<long long>() <= 255;
      if (ok) rgb[i] = static_cast<int>(v[i].get<long long>());
    }
    if (ok) return true;
  }
  *error = "sketch: a colour is \"#rrggbb\" or [r, g, b] with values 0 to 255";
  return false;
}

void AppendRect(std::string& d, int x, int y, int w, int h, const int rgb[3]) {
  d += " R" + std::to_string(x) + " " + std::to_string(y) + " " + std::to_string(w) + " " + std::to_string(h) +
       " " + std::to_string(rgb[0]) + " " + std::to_string(rgb[1]) + " " + std::to_string(rgb[2]);
}

}  // namespace

bool SketchToDescription(const std::string& text, std::string* description, std::string* error) {
  const json o = json::parse(text, nullptr, false);
  if (o.is_discarded() || !o.is_object()) {
    *error = "sketch: not a JSON object";
    return false;
  }
  int width = 0, height = 0;
  if (!Int(o, "width", 1, kMaxSketchSide, &width, error) || !Int(o, "height", 1, kMaxSketchSide, &height, error)) {
    return false;
  }
  std::string d = "D" + std::to_string(width) + " " + std::to_string(height);
  auto background = o.find("background");
  if (background != o.end() && !background->is_null()) {
    int rgb[3];
    if (!Colour(*background, rgb, error)) return false;
    AppendRect(d, 0, 0, width, height, rgb);
  }
  auto rects = o.find("rects");
  if (rects != o.end()) {
    if (!rects->is_array()) {
      *error = "sketch: \"rects\" must be a list";
      return false;
    }
    if (rects->size() > static_cast<size_t>(kMaxSketchRects)) {
      *error = "sketch: at most " + std::to_string(kMaxSketchRects) + " rectangles";
      return false;
    }
    for (const json& r : *rects) {
      if (!r.is_object()) {
        *error = "sketch: each rectangle is an object";
        return false;
      }
      int x, y, w, h, rgb[3];
      auto colour = r.find("color");
      if (colour == r.end()) colour = r.find("colour");
      if (!Int(r, "x", 0, width - 1, &x, error) || !Int(r, "y", 0, height - 1, &y, error) ||
          !Int(r, "w", 1, width - x, &w, error) || !Int(r, "h", 1, height - y, &h, error)) {
        return false;
      }
      if (colour == r.end()) {
        *error = "sketch: a rectangle needs a \"color\"";
        return false;
      }
      if (!Colour(*colour, rgb, error)) return false;
      AppendRect(d, x, y, w, h, rgb);
    }
  }
  *description = d;
  return true;
}

}  // namespace kivo
