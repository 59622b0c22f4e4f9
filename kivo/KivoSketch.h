// The JSON form of a sketch query: a canvas and coloured rectangles,
//
//   {"width": 100, "height": 80, "background": "#ffffff",
//    "rects": [{"x": 10, "y": 10, "w": 20, "h": 20, "color": "#ff0000"}]}
//
// where a colour is "#rrggbb" or [r, g, b]; "background" is optional (no
// background: only the rectangles are painted). It becomes the picker
// description the library reads ("D100 80 R0 0 100 80 255 255 255 R10 10 20
// 20 255 0 0").
#pragma once

#include <string>

namespace kivo {

// Largest canvas side and number of rectangles taken.
constexpr int kMaxSketchSide = 4096;
constexpr int kMaxSketchRects = 255;

// False with the reason for text that is not such an object (malformed JSON,
// missing or out-of-range numbers, bad colours, too many rectangles).
bool SketchToDescription(const std::string& json, std::string* description, std::string* error);

}  // namespace kivo
