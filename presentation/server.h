// SPDX-License-Identifier: MIT
#pragma once
// The presentation server seen through the operations the insert command
// uses: an application holding presentations, presentations holding slides.
// Engines (the built-in one, LibreOffice Impress, a recording fake in tests)
// implement these interfaces; the automation components hold them.
// Every failing operation throws tam::Error with the server's own description.
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "picture/error.h"
#include "presentation/media.h"

namespace tam::pres {

// Slide layouts, as the presentation object model numbers them.
inline constexpr int kLayoutTitle = 1;
inline constexpr int kLayoutBlank = 12;
// Text box orientation: horizontal.
inline constexpr int kOrientationHorizontal = 1;

class Slide {
 public:
  virtual ~Slide() = default;
  // NotesPage.Shapes.Placeholders.Item(2).TextFrame.TextRange.InsertAfter(text)
  // Texts are UTF-8.
  virtual void AppendNotesText(const std::string& text) = 0;
  // Shapes.AddTextbox(orientation, left, top, width, height), sizes in points.
  virtual void AddTextbox(int orientation, float left, float top, float width, float height) = 0;
  // Shapes.Range(index).TextFrame.TextRange.Text = text (index from 1).
  virtual void SetShapeText(int index, const std::string& text) = 0;
  // Shapes.Range(index).TextFrame.TextRange.Font.Size = points (index from 1).
  virtual void SetShapeFontSize(int index, float points) = 0;
  // Layout = layout
  virtual void SetLayout(int layout) = 0;
  // Shapes.Paste: the clipboard's picture, as StoredPicture (clipboard.h)
  // decided a slide stores it, becomes a shape on top.
  virtual void Paste(const std::shared_ptr<const Media>& picture) = 0;
};

class Presentation {
 public:
  virtual ~Presentation() = default;
  // Slides.Count
  virtual int SlideCount() = 0;
  // Slides.Add(index, layout): index from 1; count + 1 appends.
  virtual std::shared_ptr<Slide> AddSlide(int index, int layout) = 0;
};

class Application {
 public:
  virtual ~Application() = default;
  // Visible = visible
  virtual void SetVisible(bool visible) = 0;
  // Presentations.Add(with_window)
  virtual std::shared_ptr<Presentation> AddPresentation(bool with_window) = 0;
};

// Where the components connect: attach to the running server, else start one.
class Server {
 public:
  virtual ~Server() = default;
  virtual std::shared_ptr<Application> ConnectApplication() = 0;
  // A presentation or slide component that holds nothing connects to an
  // object of its own class; an engine that has none throws.
  virtual std::shared_ptr<Presentation> ConnectPresentation() = 0;
  virtual std::shared_ptr<Slide> ConnectSlide() = 0;
  // Brackets one insert run. A server program that could not be started or
  // reached within a run is not tried again in the same run: every later
  // connection fails at once with the first failure.
  virtual void BeginRun() {}
  virtual void EndRun() {}
  // While a connection or call waits for the server program (an office
  // takes up to a minute to start), `waiting` runs now and then on the
  // calling thread, so the caller's windows can repaint. It must not call
  // into the server. Empty: nothing runs.
  virtual void WhileWaiting(std::function<void()> /*waiting*/) {}
};

// The server program could not be started or reached. what() is the text for
// the user; detail() is what the program itself said (its exit status, its
// last words on stderr), for the log.
class ServerStartError : public Error {
 public:
  ServerStartError(const std::string& message, std::string detail)
      : Error(message), detail_(std::move(detail)) {}
  const std::string& detail() const noexcept { return detail_; }

 private:
  std::string detail_;
};

}  // namespace tam::pres
