// SPDX-License-Identifier: MIT
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

// Operations reach the slide bound last, not one bound before it; an error
// the server raises of its own kind becomes the program's, the binding kept.
TEST(Components, SlideOperationsReachTheSlideBoundLastAndForeignErrorsBecomeErrors) {
  RecordingServer server;
  ProcessClipboard clipboard;
  clipboard.Put({Picture::Bgr24(4, 3), {}});
  TPowerPointApplication app(server);
  TPowerPointPresentation pres(server);
  TPowerPointSlide slide(server);
  pres.ConnectTo(app.PresentationsAdd(true));
  slide.ConnectTo(pres.SlidesAdd(1, kLayoutTitle));
  slide.ConnectTo(pres.SlidesAdd(2, kLayoutTitle));
  server.log.calls.clear();
  slide.ShapesRangeSetText(1, "a.jpg");
  slide.ShapesPaste(clipboard);
  EXPECT_EQ(server.log.calls, (Calls{"slide2: text 1 a.jpg", "slide2: paste 4x3"}));
  server.log.std_call = "slide2: paste 4x3";
  EXPECT_EQ(ErrorOf([&] { slide.ShapesPaste(clipboard); }), "server said no");
  EXPECT_TRUE(slide.connected());
}

}  // namespace
}  // namespace tam::pres
