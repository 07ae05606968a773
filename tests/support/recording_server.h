// SPDX-License-Identifier: MIT
#pragma once
// A presentation server that records every call made to it, in order, and
// fails where a test asks it to. A paste records the picture (its size, and
// "+jpeg" when it is stored as the file's own bytes).
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "picture/error.h"
#include "presentation/server.h"

namespace tamtest {

// Thrown by the server where a test wants an error of no standard class.
struct ForeignFault {};

struct ServerLog {
  std::vector<std::string> calls;
  std::string fail_connect;     // non-empty: connecting the application throws this
  std::string start_detail;     // non-empty: ...as a failed start, the server having said this
  std::string fail_visible;     // non-empty: making the application visible throws this
  std::string fail_call;        // a call as logged (e.g. "slide2: layout 12") that throws tam::Error
  std::string foreign_call;     // a call as logged that throws ForeignFault
  std::string std_call;         // a call as logged that throws std::runtime_error("server said no")
  bool no_slide = false;        // connecting a slide hands back no object at all, as a broken server might
  bool fail_call_ends = false;  // fail_call ends the server: every later call fails too

  void Record(const std::string& call) {
    calls.push_back(call);
    if (ended) throw tam::Error("server gone");
    if (call == fail_call) {
      ended = fail_call_ends;
      throw tam::Error("server refused " + call);
    }
    if (call == foreign_call) throw ForeignFault{};
    if (call == std_call) throw std::runtime_error("server said no");
  }
  bool ended = false;
};

class RecordingSlide : public tam::pres::Slide {
 public:
  RecordingSlide(ServerLog& log, std::string name) : log_(log), name_(std::move(name)) {}
  ~RecordingSlide() override { log_.calls.push_back("release " + name_); }
  void AppendNotesText(const std::string& t) override { Rec("notes " + t); }
  void AddTextbox(int o, float l, float t, float w, float h) override {
    Rec("textbox " + std::to_string(o) + " " + std::to_string(int(l)) + " " + std::to_string(int(t)) + " " +
        std::to_string(int(w)) + " " + std::to_string(int(h)));
  }
  void SetShapeText(int i, const std::string& t) override { Rec("text " + std::to_string(i) + " " + t); }
  void SetShapeFontSize(int i, float p) override {
    Rec("size " + std::to_string(i) + " " + std::to_string(int(p)));
  }
  void SetLayout(int l) override { Rec("layout " + std::to_string(l)); }
  void Paste(const std::shared_ptr<const tam::pres::Media>& picture) override {
    std::string what = std::to_string(picture->width) + "x" + std::to_string(picture->height);
    if (picture->format == tam::pres::Media::Format::Jpeg) what += "+jpeg";
    Rec("paste " + what);
  }

 private:
  void Rec(const std::string& s) { log_.Record(name_ + ": " + s); }
  ServerLog& log_;
  std::string name_;
};

class RecordingPresentation : public tam::pres::Presentation {
 public:
  RecordingPresentation(ServerLog& log, std::string name) : log_(log), name_(std::move(name)) {}
  ~RecordingPresentation() override { log_.calls.push_back("release " + name_); }
  int SlideCount() override {
    log_.Record(name_ + ": count");
    return count_;
  }
  std::shared_ptr<tam::pres::Slide> AddSlide(int index, int layout) override {
    log_.Record(name_ + ": add " + std::to_string(index) + " " + std::to_string(layout));
    ++count_;
    return std::make_shared<RecordingSlide>(log_, "slide" + std::to_string(count_));
  }

 private:
  ServerLog& log_;
  std::string name_;
  int count_ = 0;
};

class RecordingApplication : public tam::pres::Application {
 public:
  explicit RecordingApplication(ServerLog& log) : log_(log) {}
  void SetVisible(bool v) override {
    log_.Record(v ? "visible" : "hidden");
    if (!log_.fail_visible.empty()) throw tam::Error(log_.fail_visible);
  }
  std::shared_ptr<tam::pres::Presentation> AddPresentation(bool with_window) override {
    log_.Record(std::string("new presentation") + (with_window ? " with window" : ""));
    return std::make_shared<RecordingPresentation>(log_, "pres" + std::to_string(++n_));
  }

 private:
  ServerLog& log_;
  int n_ = 0;
};

// Like a real server, the application keeps running once started; the
// presentations are kept by whoever holds them.
class RecordingServer : public tam::pres::Server {
 public:
  ServerLog log;
  std::shared_ptr<tam::pres::Application> ConnectApplication() override {
    log.Record("connect application");
    if (!log.start_detail.empty()) throw tam::pres::ServerStartError(log.fail_connect, log.start_detail);
    if (!log.fail_connect.empty()) throw tam::Error(log.fail_connect);
    if (!app_) app_ = std::make_shared<RecordingApplication>(log);
    return app_;
  }
  std::shared_ptr<tam::pres::Presentation> ConnectPresentation() override {
    log.Record("connect presentation");
    throw tam::Error("開いているプレゼンテーションがありません");
  }
  std::shared_ptr<tam::pres::Slide> ConnectSlide() override {
    log.Record("connect slide");
    if (log.no_slide) return nullptr;
    throw tam::Error("スライドがありません");
  }

 private:
  std::shared_ptr<RecordingApplication> app_;
};

}  // namespace tamtest
