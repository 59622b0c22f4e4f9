// Progress of a long run on standard error: a bar redrawn in place on a
// terminal (count, rate, time left), a plain line now and then otherwise, or
// nothing.
#pragma once

#include <chrono>
#include <iosfwd>
#include <string>

namespace kivo {

class Progress {
 public:
  enum Style { kNone, kLines, kBar };
  // style kBar draws on a terminal; kLines writes a line at most every
  // lineSeconds.
  Progress(std::ostream& err, Style style, std::string what, double lineSeconds = 10.0);
  // Reports done of total; cheap when nothing is to be drawn.
  void Update(size_t done, size_t total);
  // Clears the bar (a terminal line of its own) before other output.
  void Finish();

  // The text of one report, for its tests: "37/120 files (30%), 12.5/s, 0:07 left".
  static std::string Text(const std::string& what, size_t done, size_t total, double seconds);

 private:
  std::ostream& err_;
  Style style_;
  std::string what_;
  double lineSeconds_;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_;
  bool drawn_ = false;
};

// kBar when fd is a terminal, else kLines.
Progress::Style DefaultProgressStyle(int fd);

}  // namespace kivo
