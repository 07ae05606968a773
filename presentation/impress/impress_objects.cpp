// SPDX-License-Identifier: MIT
#include "presentation/impress/impress_objects.h"

#include <cmath>
#include <com/sun/star/awt/XWindow.hpp>
#include <com/sun/star/beans/PropertyValue.hpp>
#include <com/sun/star/beans/XMultiPropertySet.hpp>
#include <com/sun/star/beans/XPropertySet.hpp>
#include <com/sun/star/drawing/TextVerticalAdjust.hpp>
#include <com/sun/star/drawing/XShape.hpp>
#include <com/sun/star/drawing/XShapes.hpp>
#include <com/sun/star/frame/XComponentLoader.hpp>
#include <com/sun/star/frame/XController.hpp>
#include <com/sun/star/frame/XFrame.hpp>
#include <com/sun/star/frame/XLoadable.hpp>
#include <com/sun/star/graphic/GraphicProvider.hpp>
#include <com/sun/star/graphic/XGraphic.hpp>
#include <com/sun/star/lang/IndexOutOfBoundsException.hpp>
#include <com/sun/star/lang/XComponent.hpp>
#include <com/sun/star/lang/XServiceInfo.hpp>
#include <com/sun/star/presentation/XPresentationPage.hpp>
#include <com/sun/star/style/ParagraphAdjust.hpp>
#include <com/sun/star/text/XText.hpp>
#include <com/sun/star/text/XTextCursor.hpp>
#include <com/sun/star/text/XTextRange.hpp>
#include <com/sun/star/uno/DeploymentException.hpp>
#include <cstdint>
#include <tuple>
#include <utility>

#pragma GCC visibility push(default)
#include "presentation/builtin_model.h"
#pragma GCC visibility pop

namespace tam::pres::impress {

namespace {

constexpr const char* kNotesShapeType = "com.sun.star.presentation.NotesShape";
constexpr const char* kPresentationService = "com.sun.star.presentation.PresentationDocument";
// A slide as PowerPoint makes it by default: 10 x 7.5 inches, in 1/100 mm.
constexpr sal_Int32 kPageWidth = 25400;
constexpr sal_Int32 kPageHeight = 19050;

const Reference<lang::XMultiServiceFactory>& ShapeFactory(PresentationCache& cache,
                                                          const Reference<frame::XModel>& model) {
  if (!cache.factory.is()) cache.factory.set(model, UNO_QUERY_THROW);
  return cache.factory;
}

sal_Int16 ImpressLayout(int layout) {
  switch (layout) {
    case 1:
      return 0;  // title slide
    case 2:
      return 1;  // title and content
    case 11:
      return 19;  // title only
    case 12:
      return 20;  // blank
    default:
      throw Error("このスライドのレイアウトは使えません: " + std::to_string(layout));
  }
}

// The title of a slide with the title layout sits where the built-in
// engine puts it: along the slide's top, its text at the top left, not in
// the office's own title box, which is made for a wider slide.
bool PlaceTitle(const Reference<drawing::XDrawPage>& page) {
  Reference<drawing::XShape> title(page->getByIndex(0), UNO_QUERY);
  if (!title.is() || !title->getShapeType().equalsAscii("com.sun.star.presentation.TitleTextShape"))
    return false;
  // A box that grew with the office's large title font would stay moved
  // once the text is made small.
  Reference<beans::XMultiPropertySet> props(title, UNO_QUERY_THROW);
  const OUString names[] = {OUString::createFromAscii("TextAutoGrowHeight"),
                            OUString::createFromAscii("TextVerticalAdjust")};
  const uno::Any values[] = {uno::Any(false), uno::Any(drawing::TextVerticalAdjust_TOP)};
  props->setPropertyValues(uno::Sequence<OUString>(names, 2), uno::Sequence<uno::Any>(values, 2));
  constexpr std::int64_t kEmuPerHmm = 360;
  title->setSize(awt::Size(static_cast<sal_Int32>(kTitleBox.cx / kEmuPerHmm),
                           static_cast<sal_Int32>(kTitleBox.cy / kEmuPerHmm)));
  title->setPosition(awt::Point(static_cast<sal_Int32>(kTitleBox.x / kEmuPerHmm),
                                static_cast<sal_Int32>(kTitleBox.y / kEmuPerHmm)));
  return true;
}

// The shape is asked for at once; the shapes are counted only to say why
// there is none.
Reference<text::XText> ShapeText(const Reference<drawing::XDrawPage>& page, int index) {
  if (index >= 1) {
    try {
      Reference<text::XText> text(page->getByIndex(index - 1), UNO_QUERY);
      if (!text.is()) throw Error("この図形には文字を入れられません: " + std::to_string(index));
      return text;
    } catch (const lang::IndexOutOfBoundsException&) {
    }
  }
  const sal_Int32 count = page->getCount();
  throw Error("図形の番号が範囲外です: " + std::to_string(index) + " (図形は " + std::to_string(count) +
              " 個)");
}

// ---- the object model ----

class ImpressSlide final : public Slide {
 public:
  // page_props: the page's property set where it is already known.
  // page_size: the slide's size in 1/100 mm where the presentation knows it,
  // else zero and read from the page when needed.
  // added: the page was just added to the presentation by this program.
  ImpressSlide(std::shared_ptr<Session> session, Reference<frame::XModel> model,
               std::shared_ptr<PresentationCache> cache, Reference<drawing::XDrawPage> page,
               Reference<beans::XPropertySet> page_props = {}, awt::Size page_size = {}, bool added = false)
      : session_(std::move(session)),
        model_(std::move(model)),
        cache_(std::move(cache)),
        page_(std::move(page)),
        page_props_(std::move(page_props)),
        page_size_(page_size),
        added_(added) {}

  void AppendNotesText(const std::string& s) override {
    text_.clear();
    const bool first = added_ && !notes_written_;
    session_->Call([page = page_, cache = cache_, added = added_, first, text = ToOUString(s)] {
      Reference<presentation::XPresentationPage> slide(page, UNO_QUERY_THROW);
      Reference<drawing::XDrawPage> notes = slide->getNotesPage();
      Reference<text::XText> body;
      if (added && cache->notes_body_second) {
        try {
          body.set(notes->getByIndex(1), UNO_QUERY);
        } catch (const lang::IndexOutOfBoundsException&) {
        }
      }
      for (sal_Int32 i = 0, n = body.is() ? 0 : notes->getCount(); i < n && !body.is(); ++i) {
        Reference<drawing::XShape> shape(notes->getByIndex(i), UNO_QUERY);
        if (shape.is() && shape->getShapeType().equalsAscii(kNotesShapeType)) {
          body.set(shape, UNO_QUERY_THROW);
          if (added && i == 1) cache->notes_body_second = true;
        }
      }
      if (!body.is()) throw Error("スライドのノートに本文の枠がありません");
      // The notes of a page just added are still empty: the text is all
      // there is, set without asking for where it ends.
      if (first)
        body->setString(text);
      else
        body->insertString(body->getEnd(), text, false);
    });
    notes_written_ = true;
  }

  void AddTextbox(int orientation, float left, float top, float width, float height) override {
    if (orientation != kOrientationHorizontal)
      throw Error("この文字の向きは使えません: " + std::to_string(orientation));
    text_.clear();
    session_->Call([model = model_, cache = cache_, page = page_, left, top, width, height] {
      Reference<drawing::XShape> box(
          ShapeFactory(*cache, model)
              ->createInstance(OUString::createFromAscii("com.sun.star.drawing.TextShape")),
          UNO_QUERY_THROW);
      page->add(box);
      box->setPosition(awt::Point(PointsToHmm(left), PointsToHmm(top)));
      box->setSize(awt::Size(PointsToHmm(width), PointsToHmm(height)));
    });
  }

  // The text set here is the one whose size is set next: it is kept for that.
  // The first shape is the title placed by PlaceTitle.
  void TitlePlaced() { title_placed_ = true; }

  void SetShapeText(int index, const std::string& s) override {
    text_.clear();
    const bool title = title_placed_ && index == 1;
    text_ = session_->Call([page = page_, index, title, text = ToOUString(s)] {
      Reference<text::XText> shape_text = ShapeText(page, index);
      shape_text->setString(text);
      // At the left, as the built-in engine writes it: the office's title
      // style centres it, and takes what was set before there was text.
      if (title)
        Reference<beans::XPropertySet>(shape_text, UNO_QUERY_THROW)
            ->setPropertyValue(OUString::createFromAscii("ParaAdjust"),
                               uno::Any(static_cast<sal_Int16>(style::ParagraphAdjust_LEFT)));
      return shape_text;
    });
    text_index_ = index;
  }

  void SetShapeFontSize(int index, float points) override {
    Reference<text::XText> known = text_index_ == index ? text_ : Reference<text::XText>();
    text_.clear();
    session_->Call([page = page_, index, points, known] {
      Reference<text::XText> text = known.is() ? known : ShapeText(page, index);
      // The whole text, selected in one call (XText is a range itself).
      const Reference<text::XTextRange> whole(text.get());
      Reference<beans::XMultiPropertySet> all(text->createTextCursorByRange(whole), UNO_QUERY_THROW);
      // Japanese file names are set in the Asian font: its size counts too.
      // The names in the order the office sorts them.
      const OUString names[] = {OUString::createFromAscii("CharHeight"),
                                OUString::createFromAscii("CharHeightAsian"),
                                OUString::createFromAscii("CharHeightComplex")};
      const uno::Any values[] = {uno::Any(points), uno::Any(points), uno::Any(points)};
      all->setPropertyValues(uno::Sequence<OUString>(names, 3), uno::Sequence<uno::Any>(values, 3));
    });
  }

  void SetLayout(int layout) override {
    const sal_Int16 value = ImpressLayout(layout);
    text_.clear();
    session_->Call([page = page_, props = page_props_, value] {
      (props.is() ? props : Reference<beans::XPropertySet>(page, UNO_QUERY_THROW))
          ->setPropertyValue(OUString::createFromAscii("Layout"), uno::Any(value));
    });
  }

  // The office is never handed our clipboard (a paste from another process
  // can deadlock while this thread waits in the call): the picture read from
  // it is inserted as a graphic, on top, centred, at 0.75 pt per pixel,
  // scaled down to fit the slide with its aspect ratio kept.
  void Paste(const std::shared_ptr<const Media>& picture) override {
    if (picture->bytes.size() > std::size_t(SAL_MAX_INT32)) throw Error("図が大きすぎます");
    uno::Sequence<sal_Int8> bytes(reinterpret_cast<const sal_Int8*>(picture->bytes.data()),
                                  static_cast<sal_Int32>(picture->bytes.size()));
    const int width_px = picture->width, height_px = picture->height;
    text_.clear();
    page_size_ = session_->Call([context = session_->context, manager = session_->service_manager,
                                 provider = session_->graphic_provider, model = model_, cache = cache_,
                                 page = page_, page_size = page_size_, bytes, width_px, height_px] {
      // The stream is made in the office, its bytes sent along in the
      // same call. It is handed back as it came: the office asks its own
      // object for the stream's interface, without a round trip.
      if (!manager->is()) *manager = context->getServiceManager();
      const OUString stream_service = OUString::createFromAscii("com.sun.star.io.SequenceInputStream");
      uno::Any argument(bytes);
      Reference<uno::XInterface> stream = (*manager)->createInstanceWithArgumentsAndContext(
          stream_service, uno::Sequence<uno::Any>(&argument, 1), context);
      if (!stream.is())
        throw uno::DeploymentException("component context fails to supply service " + stream_service +
                                           " of type com.sun.star.io.XSeekableInputStream",
                                       context);
      if (!provider->is()) *provider = graphic::GraphicProvider::create(context);
      uno::Sequence<beans::PropertyValue> media(2);
      media.getArray()[0].Name = OUString::createFromAscii("InputStream");
      media.getArray()[0].Value <<= stream;
      media.getArray()[1].Name = OUString::createFromAscii("LazyRead");
      media.getArray()[1].Value <<= true;
      Reference<graphic::XGraphic> graphic = (*provider)->queryGraphic(media);
      if (!graphic.is()) throw Error("LibreOffice がクリップボードの図を読めませんでした");

      awt::Size size = page_size;
      if (size.Width <= 0 || size.Height <= 0) {
        Reference<beans::XPropertySet> page_props(page, UNO_QUERY_THROW);
        page_props->getPropertyValue(OUString::createFromAscii("Width")) >>= size.Width;
        page_props->getPropertyValue(OUString::createFromAscii("Height")) >>= size.Height;
      }
      // Placed as the built-in engine places it, in EMU (360 to 1/100 mm).
      constexpr std::int64_t kEmuPerHmm = 360;
      const Box box = PlacePicture(width_px, height_px, std::int64_t{size.Width} * kEmuPerHmm,
                                   std::int64_t{size.Height} * kEmuPerHmm);
      auto hmm = [](std::int64_t emu) {
        return static_cast<sal_Int32>(std::llround(emu / double(kEmuPerHmm)));
      };

      Reference<drawing::XShape> shape(
          ShapeFactory(*cache, model)
              ->createInstance(OUString::createFromAscii("com.sun.star.drawing.GraphicObjectShape")),
          UNO_QUERY_THROW);
      page->add(shape);
      Reference<beans::XPropertySet>(shape, UNO_QUERY_THROW)
          ->setPropertyValue(OUString::createFromAscii("Graphic"), uno::Any(graphic));
      shape->setSize(awt::Size(hmm(box.cx), hmm(box.cy)));
      shape->setPosition(awt::Point(hmm(box.x), hmm(box.y)));
      return size;
    });
    cache_->picture_bytes += picture->bytes.size();
  }

 private:
  std::shared_ptr<Session> session_;
  Reference<frame::XModel> model_;
  std::shared_ptr<PresentationCache> cache_;
  Reference<drawing::XDrawPage> page_;
  Reference<beans::XPropertySet> page_props_;
  awt::Size page_size_;
  bool added_;
  bool notes_written_ = false;
  bool title_placed_ = false;
  // The text of shape text_index_ as the last call left it, while no other
  // call has come between.
  Reference<text::XText> text_;
  int text_index_ = 0;
};

class ImpressApplication final : public Application {
 public:
  explicit ImpressApplication(std::shared_ptr<Session> session) : session_(std::move(session)) {}

  void SetVisible(bool visible) override {
    session_->visible = visible;
    session_->Call([desktop = session_->desktop, visible] {
      Reference<frame::XFrame> frame = desktop->getCurrentFrame();
      if (frame.is()) frame->getContainerWindow()->setVisible(visible);
    });
  }

  std::shared_ptr<Presentation> AddPresentation(bool with_window) override {
    const bool hold = session_->run->active;
    // An office without a display still paints a visible window (its slide
    // sorter's pictures too) after every change, which costs about half of
    // each slide. Nobody can see that window: within a run it is shown only
    // when the run ends.
    const bool show_at_end = with_window && session_->visible && hold && session_->headless;
    const bool show = with_window && session_->visible && !show_at_end;
    Reference<frame::XModel> model =
        session_->Call([desktop = session_->desktop, context = session_->context, show, hold, show_at_end] {
          Reference<frame::XModel> model;
          if (show_at_end) {
            // Not even a hidden window until the run ends: the office's view
            // of a presentation (its slide sorter among it) follows every
            // new page and layout, and the more pages there are, the more it
            // costs. The document alone is built here; the run's end shows
            // it in a window of its own.
            Reference<frame::XLoadable> doc(context->getServiceManager()->createInstanceWithContext(
                                                OUString::createFromAscii(kPresentationService), context),
                                            UNO_QUERY_THROW);
            doc->initNew();
            model.set(doc, UNO_QUERY_THROW);
          } else {
            uno::Sequence<beans::PropertyValue> args(1);
            args.getArray()[0].Name = OUString::createFromAscii("Hidden");
            args.getArray()[0].Value <<= !show;
            Reference<lang::XComponent> doc =
                Reference<frame::XComponentLoader>(desktop, UNO_QUERY_THROW)
                    ->loadComponentFromURL(OUString::createFromAscii("private:factory/simpress"),
                                           OUString::createFromAscii("_blank"), 0, args);
            model.set(doc, UNO_QUERY_THROW);
          }
          // Slides of the size PowerPoint gives a new presentation, so that
          // pictures fit them alike.
          Reference<drawing::XDrawPages> pages =
              Reference<drawing::XDrawPagesSupplier>(model, UNO_QUERY_THROW)->getDrawPages();
          Reference<beans::XPropertySet> first(pages->getByIndex(0), UNO_QUERY_THROW);
          first->setPropertyValue(OUString::createFromAscii("Width"), uno::Any(kPageWidth));
          first->setPropertyValue(OUString::createFromAscii("Height"), uno::Any(kPageHeight));
          if (show) ShowWindow(model);
          if (hold) model->lockControllers();
          return model;
        });
    if (hold) session_->run->held.push_back({session_, model, show_at_end});
    return std::make_shared<ImpressPresentation>(session_, model, true, awt::Size(kPageWidth, kPageHeight));
  }

 private:
  std::shared_ptr<Session> session_;
};

}  // namespace

void ShowWindow(const Reference<frame::XModel>& model) {
  Reference<frame::XController> controller = model->getCurrentController();
  if (controller.is()) {
    Reference<awt::XWindow> window = controller->getFrame()->getContainerWindow();
    window->setVisible(true);
    window->setFocus();
  }
}

Reference<frame::XModel> PresentationModel(const Reference<uno::XInterface>& component) {
  Reference<lang::XServiceInfo> info(component, UNO_QUERY);
  if (!info.is() || !info->supportsService(OUString::createFromAscii(kPresentationService))) return {};
  return Reference<frame::XModel>(component, UNO_QUERY);
}

std::shared_ptr<Slide> ImpressPresentation::AddSlide(int index, int layout) {
  const sal_Int16 value = ImpressLayout(layout);
  const bool reuse = fresh_;
  // A count just read is not read again (the slide goes after the last).
  const std::optional<sal_Int32> counted = std::exchange(counted_, std::nullopt);
  auto [page, props, title] = session_->Call([pages = Pages(), index, value, reuse, counted] {
    const sal_Int32 count = reuse ? 0 : counted ? *counted : pages->getCount();
    if (index < 1 || index > count + 1)
      throw Error("スライドの位置が範囲外です: " + std::to_string(index) + " (スライドは " +
                  std::to_string(count) + " 枚)");
    Reference<drawing::XDrawPage> page;
    if (reuse)
      page.set(pages->getByIndex(0), UNO_QUERY_THROW);
    else if (index == 1)
      throw Error("先頭にはスライドを追加できません");  // the office adds only after a page
    else
      page = pages->insertNewByIndex(index - 2);  // lands right after page index - 2
    // Kept for the slide's next layout.
    Reference<beans::XPropertySet> props(page, UNO_QUERY_THROW);
    props->setPropertyValue(OUString::createFromAscii("Layout"), uno::Any(value));
    const bool title = value == ImpressLayout(kLayoutTitle) && PlaceTitle(page);
    return std::make_tuple(page, props, title);
  });
  fresh_ = false;
  auto slide = std::make_shared<ImpressSlide>(session_, model_, cache_, page, props, page_size_, true);
  if (title) slide->TitlePlaced();
  return slide;
}

std::shared_ptr<Slide> MakeSlide(std::shared_ptr<Session> session, Reference<frame::XModel> model,
                                 std::shared_ptr<PresentationCache> cache,
                                 Reference<drawing::XDrawPage> page) {
  return std::make_shared<ImpressSlide>(std::move(session), std::move(model), std::move(cache),
                                        std::move(page));
}

std::shared_ptr<Application> MakeApplication(std::shared_ptr<Session> session) {
  return std::make_shared<ImpressApplication>(std::move(session));
}

}  // namespace tam::pres::impress
