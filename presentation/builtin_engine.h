#pragma once
// The built-in presentation engine: an in-process application that, once
// started, stays running for the life of its server and holds any number of
// presentations. With windows on, each presentation shown gets a window.
#include <QPointer>
#include <QString>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "presentation/builtin_model.h"
#include "presentation/server.h"

namespace tam::pres {

class BuiltinApplication;
class PresentationWindow;

class BuiltinPresentation : public Presentation, public std::enable_shared_from_this<BuiltinPresentation> {
 public:
  BuiltinPresentation(BuiltinApplication* app, QString name);
  ~BuiltinPresentation() override;

  int SlideCount() override;
  std::shared_ptr<Slide> AddSlide(int index, int layout) override;

  const PresentationData& data() const { return data_; }
  // "プレゼンテーション1" until saved, then the file name.
  QString name() const { return name_; }
  const std::string& path() const { return path_; }  // empty until saved
  bool modified() const { return modified_; }
  bool closed() const { return closed_; }
  PresentationWindow* window() const;

  // Writes the presentation as .pptx; on success it bears the file's name.
  void SaveAs(const std::string& path);
  // Closes without asking: the application lets go of it and its window goes.
  void Close();

  // Called by the slides after every change: marks it modified, redraws.
  void Changed();
  SlideData& CheckedSlide(const std::weak_ptr<SlideData>& slide);
  void CheckOpen() const;

  void ShowWindow();
  void HideWindow();
  // The window tells its presentation when it goes.
  void WindowGone();
  // The window listens here for changes of name, state or content.
  std::function<void()> on_changed;

 private:
  BuiltinApplication* app_;
  PresentationData data_;
  QString name_;
  std::string path_;
  bool modified_ = false;
  bool closed_ = false;
  QPointer<PresentationWindow> window_;
};

class BuiltinApplication : public Application {
 public:
  explicit BuiltinApplication(bool windows) : windows_(windows) {}
  ~BuiltinApplication() override;
  void SetVisible(bool visible) override;
  std::shared_ptr<Presentation> AddPresentation(bool with_window) override;

  bool visible() const { return visible_; }
  bool windows() const { return windows_; }
  const std::vector<std::shared_ptr<BuiltinPresentation>>& presentations() const { return presentations_; }
  void Forget(BuiltinPresentation* presentation);

 private:
  bool windows_;
  bool visible_ = false;
  int untitled_ = 0;
  std::vector<std::shared_ptr<BuiltinPresentation>> presentations_;
};

class BuiltinServer : public Server {
 public:
  // Without windows (a command-line tool, tests) the engine keeps only the model.
  explicit BuiltinServer(bool windows = true) : windows_(windows) {}
  std::shared_ptr<Application> ConnectApplication() override;
  std::shared_ptr<Presentation> ConnectPresentation() override;
  std::shared_ptr<Slide> ConnectSlide() override;

  // The running application, or null before the first connection.
  std::shared_ptr<BuiltinApplication> application() const { return app_; }

 private:
  bool windows_;
  std::shared_ptr<BuiltinApplication> app_;
};

// The clipboard's picture as the engine stores it: the image/jpeg flavour's
// own bytes when they carry the same picture, else the picture as PNG.
// Throws tam::Error when the clipboard holds no picture.
std::shared_ptr<const Media> MediaFromClipboard();

}  // namespace tam::pres
