#include "KivoProgress.h"

#include <unistd.h>

#include <cstdio>
#include <ostream>

namespace kivo {
namespace {

constexpr int kBarWidth = 24;

std::string Clock(double seconds) {
  const long s = static_cast<long>(seconds + 0.5);
  char text[32];
  if (s >= 3600) {
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, (s / 60) % 60, s % 60);
  } else {
    std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
  }
  return text;
}

}  // namespace

Progress::Style DefaultProgressStyle(int fd) { return isatty(fd) ? Progress::kBar : Progress::kLines; }

Progress::Progress(std::ostream& err, Style style, std::string what, double lineSeconds)
    : err_(err), style_(style), what_(std::move(what)), lineSeconds_(lineSeconds),
      start_(std::chrono::steady_clock::now()), last_(start_) {}

std::string Progress::Text(const std::string& what, size_t done, size_t total, double seconds) {
  char text[160];
  const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0.0;
  const int percent = total > 0 ? static_cast<int>(done * 100 / total) : 100;
  std::snprintf(text, sizeof text, "%zu/%zu %s (%d%%), %.1f/s", done, total, what.c_str(), percent, rate);
  std::string s = text;
  if (done < total && rate > 0) s += ", " + Clock(static_cast<double>(total - done) / rate) + " left";
  return s;
}

void Progress::Update(size_t done, size_t total) {
  if (style_ == kNone) return;
  const auto now = std::chrono::steady_clock::now();
  const double since = std::chrono::duration<double>(now - last_).count();
  const bool end = done >= total;
  if (style_ == kLines) {
    if (since < lineSeconds_ || end) return;
  } else if (since < 0.1 && !end) {
    return;
  }
  last_ = now;
  const double seconds = std::chrono::duration<double>(now - start_).count();
  const std::string text = Text(what_, done, total, seconds);
  if (style_ == kLines) {
    err_ << "kivo: " << text << '\n' << std::flush;
    return;
  }
  const int filled = total > 0 ? static_cast<int>(done * kBarWidth / total) : kBarWidth;
  std::string bar(static_cast<size_t>(filled), '=');
  if (filled < kBarWidth) bar += '>' + std::string(static_cast<size_t>(kBarWidth - filled - 1), ' ');
  err_ << "\r\033[K[" << bar << "] " << text << std::flush;
  drawn_ = true;
}

void Progress::Finish() {
  if (style_ == kBar && drawn_) err_ << "\r\033[K" << std::flush;
  drawn_ = false;
}

}  // namespace kivo
