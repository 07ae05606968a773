#pragma once
// The area-averaging reduction filter.
#include <cstdint>

#include "picture/picture.h"

namespace tam {

// The box fitted to a picture's aspect ratio and whether the filter runs.
struct FittedBox {
  std::int32_t width = 0;   // nW
  std::int32_t height = 0;  // nH
  float area_ratio = 0;     // A: source pixels over destination pixels
  double sx = 0, sy = 0;    // source pixels per destination pixel
  bool reduces = false;     // A >= 1: the filter runs
};

// Fits the box W x H to a w x h picture at extended precision. Throws
// FloatError for a picture with exactly one side 0.
FittedBox FitBox(std::int32_t w, std::int32_t h, std::int32_t box_w, std::int32_t box_h);

// Replaces the picture by its area-averaged reduction to fit box_w x box_h,
// or leaves it untouched (not even converted to 24 bits) when it already fits.
// On error the picture is unchanged.
void ReducePicture(Picture& picture, std::int32_t box_w, std::int32_t box_h);

}  // namespace tam
