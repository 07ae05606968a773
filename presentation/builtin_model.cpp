// SPDX-License-Identifier: MIT
#include "presentation/builtin_model.h"

#include <algorithm>
#include <cmath>

#include "picture/error.h"
#include "presentation/server.h"

namespace tam::pres {

namespace {

Shape MakePlaceholder(SlideData& slide, ShapeKind kind) {
  Shape s;
  s.kind = kind;
  s.id = slide.next_shape_id++;
  s.name = (kind == ShapeKind::Title ? "Title " : "Subtitle ") + std::to_string(s.id - 1);
  s.box = kind == ShapeKind::Title ? kTitleBox : kSubtitleBox;
  return s;
}

void CheckLayout(int layout) {
  if (layout != kLayoutTitle && layout != kLayoutBlank)
    throw Error("レイアウト " + std::to_string(layout) +
                " は使用できません (使用できるのはタイトル 1 と白紙 12 です)");
}

}  // namespace

std::shared_ptr<SlideData> MakeSlide(int id, int layout) {
  CheckLayout(layout);
  auto slide = std::make_shared<SlideData>();
  slide->id = id;
  slide->layout = kLayoutBlank;
  ChangeLayout(*slide, layout);
  return slide;
}

void ChangeLayout(SlideData& slide, int layout) {
  CheckLayout(layout);
  if (layout == kLayoutBlank) {
    std::erase_if(slide.shapes, [](const Shape& s) { return s.is_placeholder() && s.text.empty(); });
  } else {
    auto has = [&](ShapeKind k) {
      return std::any_of(slide.shapes.begin(), slide.shapes.end(),
                         [k](const Shape& s) { return s.kind == k; });
    };
    // Placeholders sit behind everything else, title first.
    std::vector<Shape> front;
    if (!has(ShapeKind::Title)) front.push_back(MakePlaceholder(slide, ShapeKind::Title));
    if (!has(ShapeKind::Subtitle)) front.push_back(MakePlaceholder(slide, ShapeKind::Subtitle));
    slide.shapes.insert(slide.shapes.begin(), front.begin(), front.end());
  }
  slide.layout = layout;
}

Box PlacePicture(int width_px, int height_px, std::int64_t slide_width, std::int64_t slide_height) {
  std::int64_t cx = std::int64_t{width_px} * kEmuPerPixel;
  std::int64_t cy = std::int64_t{height_px} * kEmuPerPixel;
  if (cx > slide_width || cy > slide_height) {
    // The tighter side fits exactly; the other keeps the aspect ratio.
    if (static_cast<__int128>(cx) * slide_height >= static_cast<__int128>(cy) * slide_width) {
      cy = std::max<std::int64_t>(1, std::llround(static_cast<double>(cy) * slide_width / cx));
      cx = slide_width;
    } else {
      cx = std::max<std::int64_t>(1, std::llround(static_cast<double>(cx) * slide_height / cy));
      cy = slide_height;
    }
  }
  return Box{(slide_width - cx) / 2, (slide_height - cy) / 2, cx, cy};
}

}  // namespace tam::pres
