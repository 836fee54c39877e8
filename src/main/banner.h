// The banner picture embedded in the program: decoded once at start-up, drawn by the window's
// drawing area at its natural size in the top left corner.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "runtime/error.h"
#include "ui.h"

namespace quorvel {

// Decoded pixels: rows top to bottom, 4 bytes per pixel in the order red, green, blue, alpha.
struct BannerImage {
  std::vector<uint8_t> pixels;
  uint32_t width = 0;
  uint32_t height = 0;
};

// The embedded PNG file (resource BANNER_PNG), in the program's read-only data.
std::span<const uint8_t> banner_png();

// Decodes a PNG held in memory into 8-bit RGBA rows.
Result<BannerImage> decode_png(std::span<const uint8_t> png);

// Decodes BANNER_PNG.
Result<BannerImage> decode_banner();

// The drawing area's handler: the toolkit's handler first, so the toolkit's pointer leads back to
// the banner.
struct BannerHandler {
  uiAreaHandler handler;
  BannerImage image;
};

// Draws the handler's banner at (0, 0), pixel for pixel, through a fresh image buffer.
void draw_banner(uiAreaHandler* handler, uiArea* area, uiAreaDrawParams* params);

// A handler record for the image: draw_banner, keys reported as handled, mouse ignored.
BannerHandler* new_banner_handler(BannerImage image);

}  // namespace quorvel
