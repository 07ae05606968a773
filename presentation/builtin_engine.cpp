// SPDX-License-Identifier: MIT
#include "presentation/builtin_engine.h"

#include <cmath>
#include <cstdio>

#include "picture/error.h"
#include "picture/path.h"
#include "presentation/pptx_writer.h"

namespace tam::pres {

namespace {

[[noreturn]] void Fail(const std::string& message) { throw Error(message); }

std::string Str(long long n) { return std::to_string(n); }

class BuiltinSlide : public Slide {
 public:
  BuiltinSlide(std::weak_ptr<BuiltinPresentation> presentation, std::weak_ptr<SlideData> slide)
      : presentation_(std::move(presentation)), slide_(std::move(slide)) {}

  void AppendNotesText(const std::string& text) override {
    Edit([&](SlideData& s) { s.notes += text; });
  }

  void AddTextbox(int orientation, float left, float top, float width, float height) override {
    if (orientation != kOrientationHorizontal)
      Fail("Shapes.AddTextbox: 文字の方向 " + Str(orientation) + " は使用できません (横書き 1 のみ)");
    for (float v : {left, top, width, height})
      if (!std::isfinite(v) || std::fabs(v) > 1e6f) Fail("Shapes.AddTextbox: 位置または大きさの値が不正です");
    if (width < 0 || height < 0) Fail("Shapes.AddTextbox: 幅と高さは 0 以上でなければなりません");
    Edit([&](SlideData& s) {
      Shape shape;
      shape.kind = ShapeKind::TextBox;
      shape.id = s.next_shape_id++;
      shape.name = "TextBox " + Str(shape.id - 1);
      auto emu = [](float pt) { return std::llround(double(pt) * kEmuPerPoint); };
      shape.box = Box{emu(left), emu(top), emu(width), emu(height)};
      s.shapes.push_back(shape);
    });
  }

  void SetShapeText(int index, const std::string& text) override {
    Edit([&](SlideData& s) { TextShape(s, index).text = text; });
  }

  void SetShapeFontSize(int index, float points) override {
    if (!std::isfinite(points) || points < 1 || points > 4000) {
      char shown[32];
      std::snprintf(shown, sizeof shown, "%g", double(points));
      Fail(std::string("Font.Size: 文字の大きさ ") + shown + " は範囲外です (1 から 4000 ポイント)");
    }
    Edit([&](SlideData& s) { TextShape(s, index).font_size = points; });
  }

  void SetLayout(int layout) override {
    Edit([&](SlideData& s) { ChangeLayout(s, layout); });
  }

  void Paste(const std::shared_ptr<const Media>& pasted) override {
    const std::shared_ptr<const Media> media = Presentation()->Kept(pasted);
    Edit([&](SlideData& s) {
      Shape shape;
      shape.kind = ShapeKind::Picture;
      shape.id = s.next_shape_id++;
      shape.name = "Picture " + Str(shape.id - 1);
      shape.box = PlacePicture(media->width, media->height);
      shape.media = media;
      s.shapes.push_back(shape);
    });
  }

 private:
  std::shared_ptr<BuiltinPresentation> Presentation() {
    auto p = presentation_.lock();
    if (!p) Fail("このスライドのプレゼンテーションは閉じられています");
    p->CheckOpen();
    return p;
  }

  template <typename F>
  void Edit(F&& change) {
    auto p = Presentation();
    change(p->CheckedSlide(slide_));
    p->Changed();
  }

  static Shape& TextShape(SlideData& s, int index) {
    if (index < 1 || static_cast<std::size_t>(index) > s.shapes.size())
      Fail("Shapes.Range: インデックス " + Str(index) + " は範囲外です (図形は " +
           Str(long(s.shapes.size())) + " 個です)");
    Shape& shape = s.shapes[static_cast<std::size_t>(index) - 1];
    if (!shape.has_text_frame()) Fail("Shapes.Range(" + Str(index) + "): この図形には文字を入れられません");
    return shape;
  }

  std::weak_ptr<BuiltinPresentation> presentation_;
  std::weak_ptr<SlideData> slide_;
};

}  // namespace

// ---- BuiltinPresentation

BuiltinPresentation::BuiltinPresentation(BuiltinApplication* app, std::string name)
    : app_(app), name_(std::move(name)) {}

BuiltinPresentation::~BuiltinPresentation() = default;

void BuiltinPresentation::CheckOpen() const {
  if (closed_) Fail("プレゼンテーション \"" + name_ + "\" は閉じられています");
}

std::shared_ptr<const Media> BuiltinPresentation::Kept(const std::shared_ptr<const Media>& media) {
  if (!store_tried_) {
    store_tried_ = true;
    store_ = MediaStore::Open(app_ ? app_->store_folders() : MediaStore::Folders());
  }
  return KeptIn(store_, media);
}

SlideData& BuiltinPresentation::CheckedSlide(const std::weak_ptr<SlideData>& slide) {
  CheckOpen();
  auto s = slide.lock();
  if (!s) Fail("このスライドはもうありません");
  return *s;
}

int BuiltinPresentation::SlideCount() {
  CheckOpen();
  return static_cast<int>(data_.slides.size());
}

std::shared_ptr<Slide> BuiltinPresentation::AddSlide(int index, int layout) {
  CheckOpen();
  int count = static_cast<int>(data_.slides.size());
  if (index < 1 || index > count + 1)
    Fail("Slides.Add: インデックス " + Str(index) + " は範囲外です (1 から " + Str(count + 1) + ")");
  if (data_.next_slide_id == 2147483647) Fail("Slides.Add: これ以上スライドを追加できません");
  auto slide = MakeSlide(data_.next_slide_id, layout);
  ++data_.next_slide_id;
  data_.slides.insert(data_.slides.begin() + (index - 1), slide);
  Changed();
  return std::make_shared<BuiltinSlide>(weak_from_this(), slide);
}

void BuiltinPresentation::Changed() {
  modified_ = true;
  Tell(&PresentationObserver::Changed);
}

void BuiltinPresentation::SaveAs(const std::string& path, Trash* foreign_to) {
  CheckOpen();
  const std::string file_name = ShownUtf8(ExtractFileName(path));
  PptxOptions options;
  options.title = file_name;
  options.foreign_to = foreign_to;
  SavePptx(data_, path, options);
  path_ = path;
  name_ = file_name;
  modified_ = false;
  Tell(&PresentationObserver::Changed);
}

void BuiltinPresentation::Close() {
  if (closed_) return;
  closed_ = true;
  data_.slides.clear();            // slides held elsewhere now report that they are gone
  auto keep = shared_from_this();  // outlives the application's reference
  if (viewed_) {
    viewed_ = false;
    if (PresentationObserver* observer = app_ ? app_->observer() : nullptr) observer->Closed(*this);
  }
  if (app_) app_->Forget(this);
}

void BuiltinPresentation::Show() {
  CheckOpen();
  PresentationObserver* observer = app_ ? app_->observer() : nullptr;
  if (!observer) return;
  viewed_ = true;
  observer->Shown(shared_from_this());
}

void BuiltinPresentation::Hide() {
  if (!viewed_) return;
  if (PresentationObserver* observer = app_ ? app_->observer() : nullptr) observer->Hidden(*this);
}

void BuiltinPresentation::Tell(void (PresentationObserver::*event)(BuiltinPresentation&)) {
  if (!viewed_) return;
  if (PresentationObserver* observer = app_ ? app_->observer() : nullptr) (observer->*event)(*this);
}

// ---- BuiltinApplication

// Close throws only when an observer does, and the windows do not: an
// exception here is a broken invariant and may end the program.
// NOLINTNEXTLINE(bugprone-exception-escape)
BuiltinApplication::~BuiltinApplication() {
  auto open = std::move(presentations_);
  for (auto& p : open) p->Close();
}

void BuiltinApplication::SetVisible(bool visible) {
  visible_ = visible;
  if (!observer_) return;
  auto all = presentations_;  // an observer may close one
  for (auto& p : all) {
    if (!p->viewed()) continue;
    if (visible)
      p->Show();
    else
      p->Hide();
  }
}

std::shared_ptr<Presentation> BuiltinApplication::AddPresentation(bool with_window) {
  auto p = std::make_shared<BuiltinPresentation>(this, "プレゼンテーション" + Str(++untitled_));
  presentations_.push_back(p);
  if (with_window && observer_) {
    // A presentation opened with a window brings the application into view.
    visible_ = true;
    p->Show();
  }
  return p;
}

std::vector<std::string> BuiltinApplication::store_folders() const {
  return store_folders_ ? *store_folders_ : MediaStore::Folders();
}

void BuiltinApplication::Forget(BuiltinPresentation* presentation) {
  std::erase_if(presentations_, [&](const auto& p) { return p.get() == presentation; });
}

// ---- BuiltinServer

std::shared_ptr<Application> BuiltinServer::ConnectApplication() {
  if (!app_) app_ = std::make_shared<BuiltinApplication>(observer_);
  return app_;
}

std::shared_ptr<Presentation> BuiltinServer::ConnectPresentation() {
  Fail("内蔵プレゼンテーション エンジンには、接続先を指定しないプレゼンテーションへの接続はできません");
}

std::shared_ptr<Slide> BuiltinServer::ConnectSlide() {
  Fail("内蔵プレゼンテーション エンジンには、接続先を指定しないスライドへの接続はできません");
}

}  // namespace tam::pres
