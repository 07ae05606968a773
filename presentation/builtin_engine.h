// SPDX-License-Identifier: MIT
#pragma once
// The built-in presentation engine: an in-process application that, once
// started, stays running for the life of its server and holds any number of
// presentations. It knows no windows: whoever shows its presentations (the
// program's presentation windows) watches them through a PresentationObserver.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "picture/trash.h"
#include "presentation/builtin_model.h"
#include "presentation/server.h"

namespace tam::pres {

class BuiltinApplication;
class BuiltinPresentation;

// Told what happens to the presentations that are to be seen. Without one
// (the command-line tool, tests of the model) the engine keeps only the model.
class PresentationObserver {
 public:
  virtual ~PresentationObserver() = default;
  // The presentation is to be in view: opened with a window, or the
  // application made visible again.
  virtual void Shown(const std::shared_ptr<BuiltinPresentation>& presentation) = 0;
  // The application was made invisible.
  virtual void Hidden(BuiltinPresentation& presentation) = 0;
  // Its name, its saved state or its slides changed.
  virtual void Changed(BuiltinPresentation& presentation) = 0;
  // It was closed: its slides are gone, and so must be its view.
  virtual void Closed(BuiltinPresentation& presentation) = 0;
};

class BuiltinPresentation : public Presentation, public std::enable_shared_from_this<BuiltinPresentation> {
 public:
  BuiltinPresentation(BuiltinApplication* app, std::string name);
  ~BuiltinPresentation() override;

  int SlideCount() override;
  std::shared_ptr<Slide> AddSlide(int index, int layout) override;

  const PresentationData& data() const { return data_; }
  // "プレゼンテーション1" until saved, then the file name (UTF-8).
  const std::string& name() const { return name_; }
  const std::string& path() const { return path_; }  // empty until saved
  bool modified() const { return modified_; }
  bool closed() const { return closed_; }
  // Opened with a window, and its view not gone since.
  bool viewed() const { return viewed_; }

  // Writes the presentation as .pptx; on success it bears the file's name.
  // A file of another kind at path goes to foreign_to first, when given;
  // without it such a file is never replaced and the save fails.
  void SaveAs(const std::string& path, Trash* foreign_to = nullptr);
  // Closes without asking: the application lets go of it and its view goes.
  void Close();

  // Called by the slides after every change: marks it modified, tells the observer.
  void Changed();
  // A pasted picture as the presentation keeps it: its bytes moved out of
  // memory into the presentation's store (MediaStore) where one can be had.
  std::shared_ptr<const Media> Kept(const std::shared_ptr<const Media>& media);
  SlideData& CheckedSlide(const std::weak_ptr<SlideData>& slide);
  void CheckOpen() const;

  // Brings the presentation into view (asks the observer to show it).
  void Show();
  void Hide();
  // Its view tells the presentation when it goes on its own.
  void ViewGone() { viewed_ = false; }

 private:
  // Passes an event on to the observer while the presentation is in view.
  void Tell(void (PresentationObserver::*event)(BuiltinPresentation&));

  BuiltinApplication* app_;
  PresentationData data_;
  std::shared_ptr<MediaStore> store_;  // made at the first picture
  bool store_tried_ = false;
  std::string name_;
  std::string path_;
  bool modified_ = false;
  bool closed_ = false;
  bool viewed_ = false;
};

class BuiltinApplication : public Application {
 public:
  explicit BuiltinApplication(std::shared_ptr<PresentationObserver> observer)
      : observer_(std::move(observer)) {}
  ~BuiltinApplication() override;  // NOLINT(bugprone-exception-escape): see its definition
  void SetVisible(bool visible) override;
  std::shared_ptr<Presentation> AddPresentation(bool with_window) override;

  bool visible() const { return visible_; }
  PresentationObserver* observer() const { return observer_.get(); }
  const std::vector<std::shared_ptr<BuiltinPresentation>>& presentations() const { return presentations_; }
  void Forget(BuiltinPresentation* presentation);
  // Where the presentations keep their pictures' bytes (MediaStore::Folders
  // unless set); none keeps them in memory.
  std::vector<std::string> store_folders() const;
  void set_store_folders(std::vector<std::string> folders) { store_folders_ = std::move(folders); }

 private:
  std::shared_ptr<PresentationObserver> observer_;
  bool visible_ = false;
  int untitled_ = 0;
  std::vector<std::shared_ptr<BuiltinPresentation>> presentations_;
  std::optional<std::vector<std::string>> store_folders_;
};

class BuiltinServer : public Server {
 public:
  // Without an observer (a command-line tool, tests) the engine keeps only the model.
  explicit BuiltinServer(std::shared_ptr<PresentationObserver> observer = nullptr)
      : observer_(std::move(observer)) {}
  std::shared_ptr<Application> ConnectApplication() override;
  std::shared_ptr<Presentation> ConnectPresentation() override;
  std::shared_ptr<Slide> ConnectSlide() override;

  // The running application, or null before the first connection.
  std::shared_ptr<BuiltinApplication> application() const { return app_; }

 private:
  std::shared_ptr<PresentationObserver> observer_;
  std::shared_ptr<BuiltinApplication> app_;
};

}  // namespace tam::pres
