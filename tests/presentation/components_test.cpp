// The automation components: connecting on first use, binding that releases
// the previous object first, and errors that carry the server's own text.
#include "presentation/components.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "picture/error.h"
#include "support/testdata.h"

namespace tam::pres {
namespace {

using tamtest::ErrorOf;

// A server that records what is asked of it and fails on request.
struct Log {
  std::vector<std::string> calls;
  std::string fail_connect;    // non-empty: ConnectApplication throws this
  bool fail_with_std = false;  // slides throw std::runtime_error instead
};

class FakeSlide : public Slide {
 public:
  FakeSlide(Log& log, std::string name) : log_(log), name_(std::move(name)) {}
  ~FakeSlide() override { log_.calls.push_back("release " + name_); }
  void AppendNotesText(const QString& t) override { Rec("notes " + t.toStdString()); }
  void AddTextbox(int o, float l, float t, float w, float h) override {
    Rec("textbox " + std::to_string(o) + " " + std::to_string(int(l)) + " " + std::to_string(int(t)) + " " +
        std::to_string(int(w)) + " " + std::to_string(int(h)));
  }
  void SetShapeText(int i, const QString& t) override {
    Rec("text " + std::to_string(i) + " " + t.toStdString());
  }
  void SetShapeFontSize(int i, float p) override {
    Rec("size " + std::to_string(i) + " " + std::to_string(int(p)));
  }
  void SetLayout(int l) override { Rec("layout " + std::to_string(l)); }
  void Paste() override { Rec("paste"); }

 private:
  void Rec(const std::string& s) {
    if (log_.fail_with_std) throw std::runtime_error("server said no");
    log_.calls.push_back(name_ + ": " + s);
  }
  Log& log_;
  std::string name_;
};

class FakePresentation : public Presentation {
 public:
  FakePresentation(Log& log, std::string name) : log_(log), name_(std::move(name)) {}
  ~FakePresentation() override { log_.calls.push_back("release " + name_); }
  int SlideCount() override { return count_; }
  std::shared_ptr<Slide> AddSlide(int index, int layout) override {
    log_.calls.push_back("add " + std::to_string(index) + " " + std::to_string(layout));
    ++count_;
    return std::make_shared<FakeSlide>(log_, "slide" + std::to_string(count_));
  }

 private:
  Log& log_;
  std::string name_;
  int count_ = 0;
};

class FakeApplication : public Application {
 public:
  explicit FakeApplication(Log& log) : log_(log) {}
  void SetVisible(bool v) override { log_.calls.push_back(v ? "visible" : "hidden"); }
  std::shared_ptr<Presentation> AddPresentation(bool) override {
    return std::make_shared<FakePresentation>(log_, "pres" + std::to_string(++n_));
  }

 private:
  Log& log_;
  int n_ = 0;
};

class FakeServer : public Server {
 public:
  explicit FakeServer(Log& log) : log_(log) {}
  std::shared_ptr<Application> ConnectApplication() override {
    log_.calls.push_back("connect app");
    if (!log_.fail_connect.empty()) throw Error(log_.fail_connect);
    if (!app_) app_ = std::make_shared<FakeApplication>(log_);
    return app_;
  }
  std::shared_ptr<Presentation> ConnectPresentation() override {
    log_.calls.push_back("connect presentation");
    throw Error("no presentation to connect to");
  }
  std::shared_ptr<Slide> ConnectSlide() override {
    log_.calls.push_back("connect slide");
    return nullptr;  // a broken server
  }

 private:
  Log& log_;
  std::shared_ptr<FakeApplication> app_;
};

TEST(Components, ApplicationConnectsOnFirstUseAndKeepsItsBinding) {
  Log log;
  FakeServer server(log);
  TPowerPointApplication app(server);
  EXPECT_FALSE(app.connected());
  app.SetVisible(true);
  app.PresentationsAdd(true);
  EXPECT_TRUE(app.connected());
  EXPECT_EQ(log.calls, (std::vector<std::string>{"connect app", "visible", "release pres1"}));
  app.Disconnect();
  EXPECT_FALSE(app.connected());
}

TEST(Components, ConnectFailureCarriesTheServersTextAndLeavesNothingBound) {
  Log log;
  log.fail_connect = "起動できません";
  FakeServer server(log);
  TPowerPointApplication app(server);
  EXPECT_EQ(ErrorOf([&] { app.Connect(); }), "起動できません");
  EXPECT_FALSE(app.connected());
  // The next operation tries to connect again by itself.
  EXPECT_EQ(ErrorOf([&] { app.PresentationsAdd(true); }), "起動できません");
  EXPECT_EQ(log.calls, (std::vector<std::string>{"connect app", "connect app"}));
}

TEST(Components, UnboundPresentationAndSlideConnectThroughTheServer) {
  Log log;
  FakeServer server(log);
  TPowerPointPresentation pres(server);
  TPowerPointSlide slide(server);
  EXPECT_EQ(ErrorOf([&] { pres.SlidesCount(); }), "no presentation to connect to");
  EXPECT_FALSE(pres.connected());
  EXPECT_NE(ErrorOf([&] { slide.ShapesPaste(); }), "(no error)");  // a null object is an error too
  EXPECT_FALSE(slide.connected());
  EXPECT_EQ(log.calls, (std::vector<std::string>{"connect presentation", "connect slide"}));
}

TEST(Components, BindingReleasesThePreviousObjectFirst) {
  Log log;
  FakeServer server(log);
  TPowerPointApplication app(server);
  TPowerPointPresentation pres(server);
  TPowerPointSlide slide(server);
  pres.ConnectTo(app.PresentationsAdd(true));
  slide.ConnectTo(pres.SlidesAdd(pres.SlidesCount() + 1, kLayoutTitle));
  slide.ConnectTo(pres.SlidesAdd(pres.SlidesCount() + 1, kLayoutTitle));
  pres.ConnectTo(app.PresentationsAdd(true));
  EXPECT_EQ(log.calls, (std::vector<std::string>{"connect app", "add 1 1", "add 2 1", "release slide1",
                                                 "release pres1"}));
  slide.Disconnect();
  EXPECT_EQ(log.calls.back(), "release slide2");
}

TEST(Components, SlideOperationsReachTheBoundSlideAndForeignErrorsBecomeErrors) {
  Log log;
  FakeServer server(log);
  TPowerPointApplication app(server);
  TPowerPointPresentation pres(server);
  TPowerPointSlide slide(server);
  pres.ConnectTo(app.PresentationsAdd(true));
  slide.ConnectTo(pres.SlidesAdd(1, kLayoutTitle));
  slide.NotesBodyInsertAfter("a.jpg");
  slide.ShapesAddTextbox(kOrientationHorizontal, 0, 0, 500, 50);
  slide.ShapesRangeSetText(1, "a.jpg");
  slide.ShapesRangeSetFontSize(1, 8);
  slide.SetLayout(kLayoutBlank);
  slide.ShapesPaste();
  std::vector<std::string> expected{
      "connect app",          "add 1 1",          "slide1: notes a.jpg", "slide1: textbox 1 0 0 500 50",
      "slide1: text 1 a.jpg", "slide1: size 1 8", "slide1: layout 12",   "slide1: paste"};
  EXPECT_EQ(log.calls, expected);
  log.fail_with_std = true;
  EXPECT_EQ(ErrorOf([&] { slide.ShapesPaste(); }), "server said no");
  EXPECT_TRUE(slide.connected());
}

}  // namespace
}  // namespace tam::pres
