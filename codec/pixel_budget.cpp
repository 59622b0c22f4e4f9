// The process-wide pixel budget: the most memory the decoded pixels of one
// image may take. Readers check it against the header's size before they
// allocate anything for the pixels.
#include <atomic>

#include "codec_internal.h"

namespace kvcodec {
namespace {

std::atomic<int64_t> gPixelBudget{kDefaultPixelBudget};

}  // namespace

int64_t PixelBudget() { return gPixelBudget.load(std::memory_order_relaxed); }

}  // namespace kvcodec

void gen_img_set_pixel_budget(unsigned long long bytes) {
  // Above 2^28 pixels the size limits decide anyway; keeping the value small
  // keeps every product with it inside 64 bits.
  constexpr unsigned long long kMost = static_cast<unsigned long long>(kvcodec::kMaxPixels) *
                                       kvcodec::kBytesPerDecodedPixel;
  const unsigned long long value = bytes == 0 ? kvcodec::kDefaultPixelBudget : bytes < kMost ? bytes : kMost;
  kvcodec::gPixelBudget.store(static_cast<int64_t>(value), std::memory_order_relaxed);
}

unsigned long long gen_img_pixel_budget(void) { return static_cast<unsigned long long>(kvcodec::PixelBudget()); }
