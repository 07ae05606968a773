// SPDX-License-Identifier: MIT
#include "presentation/components.h"

#include <exception>
#include <new>

#include "picture/error.h"

namespace tam::pres {

namespace {

// Runs one call into the server; whatever it throws reaches the caller as a
// tam::Error with the server's own text.
template <typename F>
auto Call(F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (const Error&) {
    throw;
  } catch (const std::bad_alloc&) {
    throw Error("メモリが不足しています");
  } catch (const std::exception& e) {
    throw Error(e.what());
  }
}

template <typename T>
T& NotNull(const std::shared_ptr<T>& p) {
  if (!p) throw Error("プレゼンテーション サーバーがオブジェクトを返しませんでした");
  return *p;
}

}  // namespace

// ---- TPowerPointApplication

void TPowerPointApplication::Connect() {
  app_.reset();
  auto app = Call([&] { return server_.ConnectApplication(); });
  NotNull(app);
  app_ = std::move(app);
}

Application& TPowerPointApplication::Held() {
  if (!app_) Connect();
  return *app_;
}

void TPowerPointApplication::SetVisible(bool visible) {
  Application& app = Held();
  Call([&] { app.SetVisible(visible); });
}

std::shared_ptr<Presentation> TPowerPointApplication::PresentationsAdd(bool with_window) {
  Application& app = Held();
  auto p = Call([&] { return app.AddPresentation(with_window); });
  NotNull(p);
  return p;
}

// ---- TPowerPointPresentation

void TPowerPointPresentation::Connect() {
  presentation_.reset();
  auto p = Call([&] { return server_.ConnectPresentation(); });
  NotNull(p);
  presentation_ = std::move(p);
}

void TPowerPointPresentation::ConnectTo(std::shared_ptr<Presentation> presentation) {
  presentation_.reset();
  presentation_ = std::move(presentation);
}

Presentation& TPowerPointPresentation::Held() {
  if (!presentation_) Connect();
  return *presentation_;
}

int TPowerPointPresentation::SlidesCount() {
  Presentation& p = Held();
  return Call([&] { return p.SlideCount(); });
}

std::shared_ptr<Slide> TPowerPointPresentation::SlidesAdd(int index, int layout) {
  Presentation& p = Held();
  auto slide = Call([&] { return p.AddSlide(index, layout); });
  NotNull(slide);
  return slide;
}

// ---- TPowerPointSlide

void TPowerPointSlide::Connect() {
  slide_.reset();
  auto s = Call([&] { return server_.ConnectSlide(); });
  NotNull(s);
  slide_ = std::move(s);
}

void TPowerPointSlide::ConnectTo(std::shared_ptr<Slide> slide) {
  slide_.reset();
  slide_ = std::move(slide);
}

Slide& TPowerPointSlide::Held() {
  if (!slide_) Connect();
  return *slide_;
}

void TPowerPointSlide::NotesBodyInsertAfter(const std::string& text) {
  Slide& s = Held();
  Call([&] { s.AppendNotesText(text); });
}

void TPowerPointSlide::ShapesAddTextbox(int orientation, float left, float top, float width, float height) {
  Slide& s = Held();
  Call([&] { s.AddTextbox(orientation, left, top, width, height); });
}

void TPowerPointSlide::ShapesRangeSetText(int index, const std::string& text) {
  Slide& s = Held();
  Call([&] { s.SetShapeText(index, text); });
}

void TPowerPointSlide::ShapesRangeSetFontSize(int index, float points) {
  Slide& s = Held();
  Call([&] { s.SetShapeFontSize(index, points); });
}

void TPowerPointSlide::SetLayout(int layout) {
  Slide& s = Held();
  Call([&] { s.SetLayout(layout); });
}

void TPowerPointSlide::ShapesPaste(Clipboard& clipboard) {
  Slide& s = Held();
  Call([&] { s.Paste(StoredPicture(clipboard.Take())); });
}

}  // namespace tam::pres
