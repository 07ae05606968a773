// The automation components: connecting on first use, binding that releases
// the previous object first, and errors that carry the server's own text.
#include "presentation/components.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/qtapp.h"
#include "support/recording_server.h"
#include "support/testdata.h"

namespace tam::pres {
namespace {

using tamtest::ErrorOf;
using tamtest::RecordingServer;
using Calls = std::vector<std::string>;

TEST(Components, ApplicationConnectsOnFirstUseAndKeepsItsBinding) {
  RecordingServer server;
  TPowerPointApplication app(server);
  EXPECT_FALSE(app.connected());
  app.SetVisible(true);
  app.PresentationsAdd(true);
  EXPECT_TRUE(app.connected());
  EXPECT_EQ(server.log.calls,
            (Calls{"connect application", "visible", "new presentation with window", "release pres1"}));
  app.Disconnect();
  EXPECT_FALSE(app.connected());
}

TEST(Components, ConnectFailureCarriesTheServersTextAndLeavesNothingBound) {
  RecordingServer server;
  server.log.fail_connect = "起動できません";
  TPowerPointApplication app(server);
  EXPECT_EQ(ErrorOf([&] { app.Connect(); }), "起動できません");
  EXPECT_FALSE(app.connected());
  // The next operation tries to connect again by itself.
  EXPECT_EQ(ErrorOf([&] { app.PresentationsAdd(true); }), "起動できません");
  EXPECT_EQ(server.log.calls, (Calls{"connect application", "connect application"}));
}

TEST(Components, UnboundPresentationAndSlideConnectThroughTheServer) {
  RecordingServer server;
  server.log.no_slide = true;
  TPowerPointPresentation pres(server);
  TPowerPointSlide slide(server);
  EXPECT_EQ(ErrorOf([&] { pres.SlidesCount(); }), "開いているプレゼンテーションがありません");
  EXPECT_FALSE(pres.connected());
  ProcessClipboard clipboard;
  EXPECT_NE(ErrorOf([&] { slide.ShapesPaste(clipboard); }), "(no error)");  // a null object is an error too
  EXPECT_FALSE(slide.connected());
  EXPECT_EQ(server.log.calls, (Calls{"connect presentation", "connect slide"}));
}

TEST(Components, BindingReleasesThePreviousObjectFirst) {
  RecordingServer server;
  TPowerPointApplication app(server);
  TPowerPointPresentation pres(server);
  TPowerPointSlide slide(server);
  pres.ConnectTo(app.PresentationsAdd(true));
  slide.ConnectTo(pres.SlidesAdd(pres.SlidesCount() + 1, kLayoutTitle));
  slide.ConnectTo(pres.SlidesAdd(pres.SlidesCount() + 1, kLayoutTitle));
  pres.ConnectTo(app.PresentationsAdd(true));
  EXPECT_EQ(server.log.calls, (Calls{"connect application", "new presentation with window", "pres1: count",
                                     "pres1: add 1 1", "pres1: count", "pres1: add 2 1", "release slide1",
                                     "new presentation with window", "release pres1"}));
  slide.Disconnect();
  EXPECT_EQ(server.log.calls.back(), "release slide2");
}

TEST(Components, SlideOperationsReachTheBoundSlideAndForeignErrorsBecomeErrors) {
  RecordingServer server;
  ProcessClipboard clipboard;
  clipboard.Put({Picture::Bgr24(4, 3), {}});
  TPowerPointApplication app(server);
  TPowerPointPresentation pres(server);
  TPowerPointSlide slide(server);
  pres.ConnectTo(app.PresentationsAdd(true));
  slide.ConnectTo(pres.SlidesAdd(1, kLayoutTitle));
  server.log.calls.clear();
  slide.NotesBodyInsertAfter("a.jpg");
  slide.ShapesAddTextbox(kOrientationHorizontal, 0, 0, 500, 50);
  slide.ShapesRangeSetText(1, "a.jpg");
  slide.ShapesRangeSetFontSize(1, 8);
  slide.SetLayout(kLayoutBlank);
  slide.ShapesPaste(clipboard);
  EXPECT_EQ(server.log.calls,
            (Calls{"slide1: notes a.jpg", "slide1: textbox 1 0 0 500 50", "slide1: text 1 a.jpg",
                   "slide1: size 1 8", "slide1: layout 12", "slide1: paste 4x3"}));
  server.log.std_call = "slide1: paste 4x3";
  EXPECT_EQ(ErrorOf([&] { slide.ShapesPaste(clipboard); }), "server said no");
  EXPECT_TRUE(slide.connected());
}

}  // namespace
}  // namespace tam::pres
