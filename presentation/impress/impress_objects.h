// SPDX-License-Identifier: MIT
#pragma once
// The office's presentation object model behind the server's interfaces: an
// application, its presentations and their slides, each a handle on the
// office's own object, every call made through the connection's worker.
#include <com/sun/star/awt/Size.hpp>
#include <com/sun/star/drawing/XDrawPage.hpp>
#include <com/sun/star/drawing/XDrawPages.hpp>
#include <com/sun/star/drawing/XDrawPagesSupplier.hpp>
#include <com/sun/star/lang/XMultiServiceFactory.hpp>
#include <memory>
#include <optional>

#include "presentation/impress/connection.h"

namespace tam::pres::impress {

// What the slides of one presentation share, found on the worker by the first
// slide that needs it and kept: each is a round trip over the pipe saved on
// every later slide. Only the session's worker touches it, picture_bytes aside.
struct PresentationCache {
  Reference<lang::XMultiServiceFactory> factory;  // the document's, for new shapes
  // The notes page of a slide added here was seen to hold its body second,
  // after the picture of the slide: the office lays out every new notes page
  // of a presentation from the same master.
  bool notes_body_second = false;
  // The bytes of the pictures pasted here, which a save writes again.
  std::atomic<std::uint64_t> picture_bytes{0};
};

// The document's window comes to the front.
void ShowWindow(const Reference<frame::XModel>& model);

// The presentation document behind a component, or an error.
Reference<frame::XModel> PresentationModel(const Reference<uno::XInterface>& component);

class ImpressPresentation final : public Presentation {
 public:
  // fresh: the document is new and its one slide is still the office's
  // untouched first page, which the first added slide takes over.
  // page_size: the size its slides were given, zero when unknown.
  ImpressPresentation(std::shared_ptr<Session> session, Reference<frame::XModel> model, bool fresh,
                      awt::Size page_size = {})
      : session_(std::move(session)), model_(std::move(model)), fresh_(fresh), page_size_(page_size) {}

  int SlideCount() override {
    counted_.reset();
    const int count = session_->Call([pages = Pages()] { return static_cast<int>(pages->getCount()); });
    counted_ = count;
    return fresh_ ? count - 1 : count;
  }

  std::shared_ptr<Slide> AddSlide(int index, int layout) override;

  const Reference<frame::XModel>& model() const { return model_; }
  const std::shared_ptr<Session>& session() const { return session_; }
  const std::shared_ptr<PresentationCache>& cache() const { return cache_; }

 private:
  // The document's slides, asked for once.
  const Reference<drawing::XDrawPages>& Pages() {
    if (!pages_.is())
      pages_ = session_->Call([model = model_] {
        return Reference<drawing::XDrawPagesSupplier>(model, UNO_QUERY_THROW)->getDrawPages();
      });
    return pages_;
  }

  std::shared_ptr<Session> session_;
  Reference<frame::XModel> model_;
  bool fresh_;
  awt::Size page_size_;
  Reference<drawing::XDrawPages> pages_;
  std::shared_ptr<PresentationCache> cache_ = std::make_shared<PresentationCache>();
  // The office's count of slides, read by SlideCount and not yet used by an
  // AddSlide: the next one takes it instead of asking again.
  std::optional<sal_Int32> counted_;
};

// A slide of a presentation open in the office.
std::shared_ptr<Slide> MakeSlide(std::shared_ptr<Session> session, Reference<frame::XModel> model,
                                 std::shared_ptr<PresentationCache> cache,
                                 Reference<drawing::XDrawPage> page);

std::shared_ptr<Application> MakeApplication(std::shared_ptr<Session> session);

}  // namespace tam::pres::impress
