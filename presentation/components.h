// SPDX-License-Identifier: MIT
#pragma once
// The three automation components of the main window. Each holds at most one
// object of the presentation server and offers the operations the insert
// command uses, named after the presentation object model. An operation on a
// component that holds nothing connects it first. Every failure is a
// tam::Error carrying the server's own description.
#include <memory>
#include <string>

#include "presentation/clipboard.h"
#include "presentation/server.h"

namespace tam::pres {

class TPowerPointApplication {
 public:
  explicit TPowerPointApplication(Server& server) : server_(server) {}
  // Attaches to the running application, else starts one.
  void Connect();
  // Drops the reference; the application and its presentations stay open.
  void Disconnect() { app_.reset(); }
  bool connected() const { return app_ != nullptr; }
  Server& server() const { return server_; }

  void SetVisible(bool visible);                                     // Visible
  std::shared_ptr<Presentation> PresentationsAdd(bool with_window);  // Presentations.Add

 private:
  Application& Held();
  Server& server_;
  std::shared_ptr<Application> app_;
};

class TPowerPointPresentation {
 public:
  explicit TPowerPointPresentation(Server& server) : server_(server) {}
  // Connects to a presentation of the server's own choosing.
  void Connect();
  // Binds to the given presentation, releasing any previous one first.
  void ConnectTo(std::shared_ptr<Presentation> presentation);
  void Disconnect() { presentation_.reset(); }
  bool connected() const { return presentation_ != nullptr; }
  const std::shared_ptr<Presentation>& object() const { return presentation_; }

  int SlidesCount();                                        // Slides.Count
  std::shared_ptr<Slide> SlidesAdd(int index, int layout);  // Slides.Add

 private:
  Presentation& Held();
  Server& server_;
  std::shared_ptr<Presentation> presentation_;
};

class TPowerPointSlide {
 public:
  explicit TPowerPointSlide(Server& server) : server_(server) {}
  void Connect();
  void ConnectTo(std::shared_ptr<Slide> slide);
  void Disconnect() { slide_.reset(); }
  bool connected() const { return slide_ != nullptr; }
  const std::shared_ptr<Slide>& object() const { return slide_; }

  // NotesPage.Shapes.Placeholders.Item(2).TextFrame.TextRange.InsertAfter(text)
  void NotesBodyInsertAfter(const std::string& text);
  // Shapes.AddTextbox(orientation, left, top, width, height)
  void ShapesAddTextbox(int orientation, float left, float top, float width, float height);
  // Shapes.Range(index).TextFrame.TextRange.Text = text
  void ShapesRangeSetText(int index, const std::string& text);
  // Shapes.Range(index).TextFrame.TextRange.Font.Size = points
  void ShapesRangeSetFontSize(int index, float points);
  void SetLayout(int layout);  // Layout
  // Shapes.Paste of the clipboard's picture.
  void ShapesPaste(Clipboard& clipboard);

 private:
  Slide& Held();
  Server& server_;
  std::shared_ptr<Slide> slide_;
};

}  // namespace tam::pres
