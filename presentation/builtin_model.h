// SPDX-License-Identifier: MIT
#pragma once
// The document model of the built-in presentation engine: 4:3 slides of
// shapes in z-order (back to front), each with a notes page. Lengths are in
// EMU (12700 per point, 9525 per pixel at 96 dpi), as the .pptx file has them.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "presentation/media.h"

namespace tam::pres {

inline constexpr std::int64_t kEmuPerPoint = 12700;
inline constexpr std::int64_t kEmuPerPixel = 9525;
inline constexpr std::int64_t kSlideWidth = 9144000;   // 720 pt
inline constexpr std::int64_t kSlideHeight = 6858000;  // 540 pt

struct Box {
  std::int64_t x = 0, y = 0, cx = 0, cy = 0;
  friend bool operator==(const Box&, const Box&) = default;
};

enum class ShapeKind { Title, Subtitle, TextBox, Picture };

struct Shape {
  ShapeKind kind = ShapeKind::TextBox;
  int id = 0;        // unique within the slide; 1 is the shape tree itself
  std::string name;  // UTF-8, as are the texts
  Box box;
  std::string text;
  float font_size = 0;  // points; 0 leaves the size to the layout
  std::shared_ptr<const Media> media;
  bool is_placeholder() const { return kind == ShapeKind::Title || kind == ShapeKind::Subtitle; }
  bool has_text_frame() const { return kind != ShapeKind::Picture; }
};

struct SlideData {
  int id = 0;  // 256 and up, unique within the presentation
  int layout = 0;
  std::vector<Shape> shapes;
  // The notes page holds the slide image placeholder first and the body second.
  std::string notes;
  int next_shape_id = 2;
};

// Placement of the caption: the title placeholder runs along the top edge,
// one 8-pt line high, so that the caption sits at the top left.
inline constexpr Box kTitleBox{0, 0, kSlideWidth, 228600};
inline constexpr Box kSubtitleBox{1371600, 3886200, 6400800, 1752600};

// A slide of the given layout (1 title, 12 blank) with its placeholders.
// Throws tam::Error for any other layout.
std::shared_ptr<SlideData> MakeSlide(int id, int layout);

// Applies a layout: the blank layout drops placeholders without text and keeps
// the others with their boxes; the title layout brings back missing ones.
void ChangeLayout(SlideData& slide, int layout);

// Box of a pasted picture of the given pixel size, for every engine: 0.75 pt
// per pixel, scaled down to fit the slide (of this size, in EMU) keeping its
// aspect ratio, centred.
Box PlacePicture(int width_px, int height_px, std::int64_t slide_width = kSlideWidth,
                 std::int64_t slide_height = kSlideHeight);

}  // namespace tam::pres

namespace tam::pres {

// The slides of one presentation, in order.
struct PresentationData {
  std::vector<std::shared_ptr<SlideData>> slides;
  int next_slide_id = 256;
};

}  // namespace tam::pres
