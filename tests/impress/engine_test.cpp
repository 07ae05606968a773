// SPDX-License-Identifier: MIT
// The Impress engine against a real, headless LibreOffice with a private
// profile. Every office a test starts is stopped by its process id.
#include <dirent.h>
#include <errno.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QClipboard>
#include <QGuiApplication>
#include <QImage>
#include <QMimeData>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <thread>

#include "gtest/gtest.h"
#include "picture/error.h"
#include "presentation/impress_loader.h"
#include "presentation/insert_run.h"
#include "support/clipboard_picture.h"
#include "support/qtapp.h"
#include "support/testdata.h"

namespace {

using tam::pres::ImpressOptions;
using tam::pres::OfficeServer;
using tamtest::Clip;

std::string Shell(const std::string& command) {
  std::string out;
  if (FILE* p = ::popen(command.c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    ::pclose(p);
  }
  return out;
}

int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

// The text runs of a DrawingML part, joined: the office splits a name into
// runs where the script changes (Japanese, then Latin).
std::string RunsText(const std::string& xml) {
  std::string text;
  const std::regex run(R"re(<a:t>([^<]*)</a:t>)re");
  for (std::sregex_iterator it(xml.begin(), xml.end(), run), end; it != end; ++it) text += (*it)[1].str();
  return text;
}

std::string WithoutSpaces(std::string s) {
  std::erase_if(s, [](char c) { return c == ' ' || c == '\n'; });
  return s;
}

// The process and all its descendants, found through /proc.
std::set<pid_t> ProcessTree(pid_t root) {
  std::set<pid_t> tree = {root};
  for (bool grew = true; grew;) {
    grew = false;
    DIR* proc = ::opendir("/proc");
    while (dirent* e = ::readdir(proc)) {
      const pid_t pid = static_cast<pid_t>(std::atoi(e->d_name));
      if (pid <= 0 || tree.count(pid)) continue;
      std::ifstream stat("/proc/" + std::string(e->d_name) + "/stat");
      std::string line;
      std::getline(stat, line);
      const auto close = line.rfind(')');
      if (close == std::string::npos) continue;
      char state;
      int ppid = 0;
      if (std::sscanf(line.c_str() + close + 1, " %c %d", &state, &ppid) == 2 && tree.count(ppid)) {
        tree.insert(pid);
        grew = true;
      }
    }
    ::closedir(proc);
  }
  return tree;
}

// Processes whose arguments mention text (a profile folder, say).
std::set<pid_t> ProcessesMentioning(const std::string& text) {
  std::set<pid_t> found;
  for (const auto& e : std::filesystem::directory_iterator("/proc")) {
    std::ifstream cmd(e.path() / "cmdline");
    std::string line;
    std::getline(cmd, line, '\0');
    std::getline(cmd, line);
    if (line.find(text) != std::string::npos) found.insert(std::atoi(e.path().filename().c_str()));
  }
  return found;
}

bool Alive(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  const auto close = line.rfind(')');
  return close != std::string::npos && line[close + 2] != 'Z';
}

void KillTree(pid_t root, int sig = SIGKILL) {
  if (root <= 0) return;
  for (pid_t pid : ProcessTree(root)) ::kill(pid, sig);
}

class ImpressEngine : public ::testing::Test {
 protected:
  void SetUp() override {
#ifndef TAM_IMPRESS_PLUGIN
    GTEST_SKIP() << "the Impress plug-in was not built (no LibreOffice SDK)";
#else
    tamtest::App();
    options_.plugin = TAM_IMPRESS_PLUGIN;
    options_.pipe_name = "tamtest_" + std::to_string(::getpid());
    options_.user_installation = profile_.path();
    // TAM_IMPRESS_TEST_WINDOWED=1 runs the office with windows (under Xvfb, say).
    const char* windowed = std::getenv("TAM_IMPRESS_TEST_WINDOWED");
    options_.headless =
        windowed && *windowed == '1' ? ImpressOptions::Headless::kNo : ImpressOptions::Headless::kYes;
    options_.call_timeout_ms = 30000;
    options_.start_timeout_ms = 90000;
#endif
  }
  void TearDown() override {
    for (pid_t pid : offices_) KillTree(pid);
    // Gone before the next test of this process uses the same pipe name.
    for (pid_t pid : offices_)
      for (int i = 0; i < 200 && Alive(pid); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ::unlink(("/tmp/OSL_PIPE_" + std::to_string(::getuid()) + "_" + options_.pipe_name).c_str());
  }

  std::unique_ptr<OfficeServer> Load() {
    std::string why;
    auto server = tam::pres::LoadImpressServer(options_, &why);
    EXPECT_TRUE(server) << why;
    return server;
  }
  // Remembers the office a server started, with its children, for TearDown.
  void Track(const OfficeServer& server) {
    if (server.StartedProcess() > 0)
      for (pid_t pid : ProcessTree(static_cast<pid_t>(server.StartedProcess()))) offices_.insert(pid);
  }

  tamtest::TempDir profile_;
  ImpressOptions options_;
  std::set<pid_t> offices_;
};

void PutOnClipboard(const QImage& image, const QByteArray& jpeg = {}) {
  Clip().Put(tamtest::ClipOf(image, jpeg));
}

// One slide as the insert command makes it.
void InsertSlide(tam::pres::Presentation& presentation, const QString& name) {
  auto slide = presentation.AddSlide(presentation.SlideCount() + 1, tam::pres::kLayoutTitle);
  slide->AppendNotesText(name.toStdString());
  slide->AddTextbox(tam::pres::kOrientationHorizontal, 0, 0, 500, 50);
  slide->SetShapeText(1, name.toStdString());
  slide->SetShapeFontSize(1, 8);
  slide->SetLayout(tam::pres::kLayoutBlank);
  slide->Paste(tam::pres::StoredPicture(Clip().Take()));
}

TEST(ImpressLoader, FindsSofficeOnThePathOrInTheFallbacks) {
  tamtest::TempDir empty, bin;
  EXPECT_EQ(tam::pres::FindSoffice(empty.path(), {}), "");
  EXPECT_EQ(tam::pres::FindSoffice(empty.path(), {empty / "soffice"}), "");
  tamtest::WriteText(bin / "soffice", "#!/bin/sh\n");
  EXPECT_EQ(tam::pres::FindSoffice(empty.path() + ":" + bin.path(), {}), "")
      << "a file that is not executable is not a launcher";
  ::chmod((bin / "soffice").c_str(), 0755);
  EXPECT_EQ(tam::pres::FindSoffice(":" + empty.path() + ":" + bin.path(), {}), bin / "soffice");
  EXPECT_EQ(tam::pres::FindSoffice(empty.path(), {empty / "none", bin / "soffice"}), bin / "soffice");
}

TEST(ImpressLoader, NoServerWithoutSofficeOrPlugin) {
  ImpressOptions options;
  options.soffice = "/nonexistent/program/soffice";
  std::string why;
  EXPECT_EQ(tam::pres::LoadImpressServer(options, &why), nullptr);
  EXPECT_NE(why.find("soffice"), std::string::npos) << why;

  // No soffice on PATH and none where LibreOffice is usually installed.
  tamtest::TempDir bin;
  const std::string saved_path = std::getenv("PATH") ? std::getenv("PATH") : "";
  ::setenv("PATH", bin.path().c_str(), 1);
  options.soffice.clear();
  options.soffice_fallbacks = {bin / "program/soffice"};
  why.clear();
  EXPECT_EQ(tam::pres::LoadImpressServer(options, &why), nullptr);
  EXPECT_NE(why.find("soffice"), std::string::npos) << why;
  ::setenv("PATH", saved_path.c_str(), 1);

  // A launcher, but the plug-in is missing or broken.
  tamtest::WriteText(bin / "soffice", "#!/bin/sh\nexit 1\n");
  ::chmod((bin / "soffice").c_str(), 0755);
  options.soffice = bin / "soffice";
  options.plugin = bin / "libmissing.so";
  why.clear();
  EXPECT_EQ(tam::pres::LoadImpressServer(options, &why), nullptr);
  EXPECT_FALSE(why.empty());

  tamtest::WriteText(bin / "libbroken.so", "not a shared object");
  options.plugin = bin / "libbroken.so";
  why.clear();
  EXPECT_EQ(tam::pres::LoadImpressServer(options, &why), nullptr);
  EXPECT_NE(why.find("libbroken.so"), std::string::npos) << why;
}

TEST_F(ImpressEngine, StartsAnOfficeThenAttachesToIt) {
  auto first = Load();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->StartedProcess(), 0) << "nothing is started before a connection";
  auto app = first->ConnectApplication();
  Track(*first);
  ASSERT_GT(first->StartedProcess(), 0);
  app->SetVisible(true);
  auto presentation = app->AddPresentation(true);
  EXPECT_EQ(presentation->SlideCount(), 0) << "a new presentation starts without slides";
  if (options_.headless == ImpressOptions::Headless::kNo) {
    const std::string windows = Shell("xwininfo -root -tree");
    EXPECT_NE(windows.find("LibreOffice Impress"), std::string::npos) << "the window shows\n" << windows;
  }
  presentation->AddSlide(1, tam::pres::kLayoutTitle)->SetShapeText(1, "最初");
  presentation->AddSlide(2, tam::pres::kLayoutBlank);
  EXPECT_EQ(presentation->SlideCount(), 2);

  auto second = Load();
  ASSERT_TRUE(second);
  auto app2 = second->ConnectApplication();
  EXPECT_EQ(second->StartedProcess(), 0) << "a running office is attached to, not started again";
  auto same = second->ConnectPresentation();
  EXPECT_EQ(same->SlideCount(), 2) << "the open presentation is the one the first server made";
  auto slide = second->ConnectSlide();
  EXPECT_NO_THROW(slide->SetShapeFontSize(1, 12));

  // Operations the office cannot do are errors with a message, not crashes.
  EXPECT_THROW(same->AddSlide(4, tam::pres::kLayoutBlank), tam::Error);
  EXPECT_THROW(same->AddSlide(1, 7), tam::Error);
  EXPECT_THROW(slide->SetShapeText(99, "x"), tam::Error);
  auto junk = std::make_shared<tam::pres::Media>();
  junk->bytes = {'n', 'o', ' ', 'p', 'i', 'c', 't', 'u', 'r', 'e'};
  junk->width = junk->height = 10;
  EXPECT_THROW(slide->Paste(junk), tam::Error);
  EXPECT_EQ(same->SlideCount(), 2);

  second->ClosePresentation(*same);
  EXPECT_THROW(second->ConnectSlide(), tam::Error) << "no presentation is left open";
}

TEST_F(ImpressEngine, BuildsTheSlidesAndStoresThemAsPptxAndPdf) {
  struct Picture {
    QString name;
    QImage image;
    QByteArray jpeg;
  };
  std::vector<Picture> pictures;
  for (const char* file : {"iptc.jpg", "testorig.jpg"}) {
    const std::string path = tamtest::TestData(std::string("jpeg/good/") + file);
    const auto bytes = tamtest::ReadBytes(path);
    QByteArray jpeg(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()));
    pictures.push_back({file, QImage::fromData(jpeg), jpeg});
  }
  QImage bmp(QString::fromStdString(tamtest::TestData("bmpsuite/g/pal8.bmp")));
  pictures.push_back({"pal8.bmp", bmp, {}});
  QImage wide(1600, 400, QImage::Format_RGB888);
  wide.fill(Qt::darkCyan);
  pictures.push_back({"横長の写真.BMP", wide, {}});
  for (const auto& p : pictures) ASSERT_FALSE(p.image.isNull()) << p.name.toStdString();

  auto server = Load();
  ASSERT_TRUE(server);
  // As the insert command does it: within a run, the new presentation is not
  // redrawn for every change; it is once the run ends.
  server->BeginRun();
  auto app = server->ConnectApplication();
  Track(*server);
  app->SetVisible(true);
  auto presentation = app->AddPresentation(true);
  for (const auto& p : pictures) {
    PutOnClipboard(p.image, p.jpeg);
    InsertSlide(*presentation, p.name);
  }
  EXPECT_EQ(presentation->SlideCount(), 4) << "exactly one slide per picture";
  EXPECT_FALSE(server->Redrawing(*presentation));
  server->EndRun();
  EXPECT_TRUE(server->Redrawing(*presentation)) << "the run left the presentation's views frozen";
  EXPECT_EQ(server->ConnectPresentation()->SlideCount(), 4)
      << "the run's presentation is not open in the office";
  server->BeginRun();
  server->EndRun();
  EXPECT_TRUE(server->Redrawing(*presentation));

  tamtest::TempDir out;
  server->StorePresentation(*presentation, out / "slides.pptx", tam::pres::kPptxFilter);
  server->StorePresentation(*presentation, out / "slides.pdf", tam::pres::kPdfFilter);

  // The PDF: one page per picture, the names as text, the pictures at their pixel sizes.
  const std::string info = Shell("pdfinfo '" + out / "slides.pdf" + "'");
  EXPECT_NE(info.find("Pages:           4"), std::string::npos) << info;
  EXPECT_NE(info.find("720 x 540 pts"), std::string::npos) << "slides of PowerPoint's size\n" << info;
  const std::string text = WithoutSpaces(Shell("pdftotext '" + out / "slides.pdf" + "' -"));
  for (const auto& p : pictures) EXPECT_NE(text.find(p.name.toStdString()), std::string::npos) << text;
  const std::string images = Shell("pdfimages -list '" + out / "slides.pdf" + "'");
  for (const char* size : {" 640   480 ", " 227   149 ", " 127    64 ", "1600   400 "})
    EXPECT_NE(images.find(size), std::string::npos) << size << "\n" << images;

  // The .pptx: notes carry the names; the pictures are centred and scaled down to fit.
  const std::string pptx = out / "slides.pptx";
  const std::string parts = Shell("unzip -Z1 '" + pptx + "'");
  EXPECT_EQ(Count(parts, "ppt/slides/slide"), 4) << parts;
  for (int i = 0; i < 4; ++i) {
    const std::string n = std::to_string(i + 1);
    const std::string notes =
        RunsText(Shell("unzip -p '" + pptx + "' ppt/notesSlides/notesSlide" + n + ".xml"));
    EXPECT_NE(notes.find(pictures[i].name.toStdString()), std::string::npos) << notes;
    // The first shape holds the name at 8 pt, in every run.
    const std::string xml = Shell("unzip -p '" + pptx + "' ppt/slides/slide" + n + ".xml");
    const std::string first = xml.substr(xml.find("<p:sp>"), xml.find("</p:sp>") - xml.find("<p:sp>"));
    EXPECT_EQ(RunsText(first), pictures[i].name.toStdString());
    const std::regex run_props(R"re(<a:rPr [^>]*>)re");
    int runs = 0;
    for (std::sregex_iterator it(first.begin(), first.end(), run_props), end; it != end; ++it, ++runs)
      EXPECT_NE(it->str().find(" sz=\"800\""), std::string::npos) << it->str();
    EXPECT_GT(runs, 0) << first;
  }
  struct Box {
    long x, y, cx, cy;
  };
  auto picture_box = [&](int slide) {
    const std::string xml =
        Shell("unzip -p '" + pptx + "' ppt/slides/slide" + std::to_string(slide) + ".xml");
    std::smatch m;
    const std::regex pic(R"re(<p:pic>.*?<a:off x="(\d+)" y="(\d+)"/><a:ext cx="(\d+)" cy="(\d+)"/>)re");
    EXPECT_TRUE(std::regex_search(xml, m, pic)) << xml;
    return m.empty() ? Box{} : Box{std::stol(m[1]), std::stol(m[2]), std::stol(m[3]), std::stol(m[4])};
  };
  constexpr long kEmuPerPoint = 12700, kTolerance = 1000;  // rounding through 1/100 mm
  const Box a = picture_box(1);                            // 640 x 480 px = 480 x 360 pt, centred
  EXPECT_NEAR(a.cx, 480 * kEmuPerPoint, kTolerance);
  EXPECT_NEAR(a.cy, 360 * kEmuPerPoint, kTolerance);
  EXPECT_NEAR(a.x, 120 * kEmuPerPoint, kTolerance);
  EXPECT_NEAR(a.y, 90 * kEmuPerPoint, kTolerance);
  const Box d = picture_box(4);  // 1600 x 400 px = 1200 x 300 pt, scaled to 720 x 180
  EXPECT_NEAR(d.cx, 720 * kEmuPerPoint, kTolerance);
  EXPECT_NEAR(d.cy, 180 * kEmuPerPoint, kTolerance);
  EXPECT_NEAR(d.x, 0, kTolerance);
  EXPECT_NEAR(d.y, 180 * kEmuPerPoint, kTolerance);
}

// A slide keeps what its presentation and the office gave it (the shape
// factory, the last count, the notes' place, the picture services): once the
// presentation is closed under it, every call is an error with a message,
// and the run still ends and the office still builds the next presentation.
TEST_F(ImpressEngine, WhatASlideKeptIsAnErrorOnceItsPresentationIsClosed) {
  QImage picture(64, 48, QImage::Format_RGB888);
  picture.fill(Qt::darkRed);
  auto server = Load();
  ASSERT_TRUE(server);
  server->BeginRun();
  auto app = server->ConnectApplication();
  Track(*server);
  app->SetVisible(true);
  auto presentation = app->AddPresentation(true);
  PutOnClipboard(picture);
  InsertSlide(*presentation, "一枚目.jpg");
  auto slide = presentation->AddSlide(presentation->SlideCount() + 1, tam::pres::kLayoutTitle);
  slide->AppendNotesText("二枚目.jpg");
  EXPECT_EQ(presentation->SlideCount(), 2);
  server->ClosePresentation(*presentation);

  auto fails = [](const char* what, auto call) {
    try {
      call();
      ADD_FAILURE() << what << " succeeded on a closed presentation";
    } catch (const tam::Error& e) {
      EXPECT_GT(std::strlen(e.what()), 0u) << what;
    }
  };
  const auto start = std::chrono::steady_clock::now();
  fails("AddTextbox", [&] { slide->AddTextbox(tam::pres::kOrientationHorizontal, 0, 0, 500, 50); });
  fails("AppendNotesText", [&] { slide->AppendNotesText("x"); });
  fails("SetShapeText", [&] { slide->SetShapeText(1, "x"); });
  fails("SetLayout", [&] { slide->SetLayout(tam::pres::kLayoutBlank); });
  PutOnClipboard(picture);
  fails("Paste", [&] { slide->Paste(tam::pres::StoredPicture(Clip().Take())); });
  fails("AddSlide", [&] { presentation->AddSlide(3, tam::pres::kLayoutBlank); });
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  server->EndRun();

  auto next = app->AddPresentation(true);
  PutOnClipboard(picture);
  InsertSlide(*next, "次.jpg");
  EXPECT_EQ(next->SlideCount(), 1);
  tamtest::TempDir out;
  server->StorePresentation(*next, out / "next.pptx", tam::pres::kPptxFilter);
  const std::string pptx = out / "next.pptx";
  EXPECT_NE(RunsText(Shell("unzip -p '" + pptx + "' ppt/notesSlides/notesSlide1.xml")).find("次.jpg"),
            std::string::npos);
  EXPECT_NE(Shell("unzip -Z1 '" + pptx + "'").find("ppt/media/"), std::string::npos) << "the picture is in";
}

TEST_F(ImpressEngine, AKilledOfficeIsAnErrorAndTheNextConnectionStartsAnew) {
  auto server = Load();
  ASSERT_TRUE(server);
  auto presentation = server->ConnectApplication()->AddPresentation(true);
  Track(*server);
  auto slide = presentation->AddSlide(1, tam::pres::kLayoutTitle);
  const pid_t first = static_cast<pid_t>(server->StartedProcess());
  KillTree(first);
  for (int i = 0; i < 100 && Alive(first); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));

  const auto start = std::chrono::steady_clock::now();
  try {
    slide->SetShapeText(1, "x");
    FAIL() << "a call into a killed office succeeded";
  } catch (const tam::Error& e) {
    EXPECT_STREQ(e.what(), "LibreOffice との接続が切れました (LibreOffice が終了した可能性があります)");
  }
  EXPECT_THROW(presentation->SlideCount(), tam::Error);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));

  auto again = server->ConnectApplication()->AddPresentation(true);
  Track(*server);
  EXPECT_NE(server->StartedProcess(), first);
  EXPECT_EQ(again->SlideCount(), 0);
}

// Two runs share the office on the pipe: the end of the run that started it
// must not take the other run's presentation with it.
TEST_F(ImpressEngine, TheStartedOfficeStaysWhileAnotherRunUsesIt) {
  auto first = Load();
  ASSERT_TRUE(first);
  auto mine = first->ConnectApplication()->AddPresentation(false);
  Track(*first);
  ASSERT_GT(first->StartedProcess(), 0);
  auto second = Load();
  auto theirs = second->ConnectApplication()->AddPresentation(false);
  theirs->AddSlide(1, tam::pres::kLayoutBlank);
  first->ClosePresentation(*mine);
  first->TerminateOffice();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // an office told to go is gone by then
  EXPECT_NO_THROW(theirs->AddSlide(2, tam::pres::kLayoutBlank));
  EXPECT_EQ(theirs->SlideCount(), 2);
}

TEST_F(ImpressEngine, AHungOfficeTimesOutInsteadOfBlocking) {
  auto server = Load();
  ASSERT_TRUE(server);
  auto presentation = server->ConnectApplication()->AddPresentation(true);
  Track(*server);
  // Short calls from here on: the next server gets a short limit too.
  options_.call_timeout_ms = 2000;
  auto impatient = Load();
  auto same = impatient->ConnectPresentation();
  for (pid_t pid : offices_) ::kill(pid, SIGSTOP);

  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(same->SlideCount(), tam::Error);
  EXPECT_THROW(same->AddSlide(1, tam::pres::kLayoutBlank), tam::Error) << "a hung connection refuses at once";
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  for (pid_t pid : offices_) ::kill(pid, SIGKILL);
  for (pid_t pid : offices_) ::kill(pid, SIGCONT);
}

// A stopped office keeps its pipe: a later run is told within seconds who
// holds it; a run that only attached leaves it alone, and the one that
// started it ends it.
TEST_F(ImpressEngine, AStoppedOfficeIsToldQuicklyAndEndedOnlyByItsStarter) {
  options_.call_timeout_ms = 10000;
  auto server = Load();
  ASSERT_TRUE(server);
  auto presentation = server->ConnectApplication()->AddPresentation(false);
  Track(*server);
  const pid_t office = static_cast<pid_t>(server->StartedProcess());
  ASSERT_GT(office, 0);
  options_.call_timeout_ms = 2000;
  auto attached = Load();
  auto theirs = attached->ConnectPresentation();
  for (pid_t pid : offices_) ::kill(pid, SIGSTOP);

  EXPECT_THROW(theirs->SlideCount(), tam::Error);
  attached->TerminateOffice();
  EXPECT_TRUE(Alive(office)) << "an office this server did not start was ended";

  auto later = Load();
  auto start = std::chrono::steady_clock::now();
  try {
    later->ConnectApplication();
    ADD_FAILURE() << "a stopped office was connected";
  } catch (const tam::Error& e) {
    EXPECT_NE(std::string(e.what()).find("プロセス " + std::to_string(office)), std::string::npos)
        << e.what();
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));

  EXPECT_THROW(presentation->SlideCount(), tam::Error);
  start = std::chrono::steady_clock::now();
  server->TerminateOffice();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  EXPECT_TRUE(::kill(office, 0) == -1 && errno == ESRCH) << "the stopped office is still there";
}

// An office that runs without a display, as a run of the tool without one
// starts it, shows nobody a presentation made in it: a server whose
// presentations are to be seen refuses it, the tool's own still uses it.
TEST_F(ImpressEngine, AnOfficeWithoutADisplayIsRefusedWherePresentationsAreShown) {
  options_.headless = ImpressOptions::Headless::kYes;
  auto tool = Load();
  ASSERT_TRUE(tool);
  auto building = tool->ConnectApplication()->AddPresentation(false);
  Track(*tool);

  options_.headless = ImpressOptions::Headless::kNo;
  options_.shown = true;
  auto window = Load();
  try {
    window->ConnectApplication();
    ADD_FAILURE() << "a presentation to be shown went into an office without a display";
  } catch (const tam::pres::ServerStartError& e) {
    EXPECT_NE(std::string(e.what()).find("画面なし"), std::string::npos) << e.what();
  }
  EXPECT_THROW(window->ConnectPresentation(), tam::Error) << "the tool's presentation was taken over";

  options_.shown = false;
  auto another_tool = Load();
  EXPECT_NO_THROW(another_tool->ConnectApplication()->AddPresentation(false));
}

// An office program in a folder of its own, found through the launcher
// beside it, as a LibreOffice install is.
std::string FakeOffice(const tamtest::TempDir& dir, const std::string& script) {
  tamtest::WriteText(dir / "soffice", "#!/bin/sh\nexit 1\n");
  tamtest::WriteText(dir / "soffice.bin", "#!/bin/sh\n" + script);
  ::chmod((dir / "soffice").c_str(), 0755);
  ::chmod((dir / "soffice.bin").c_str(), 0755);
  return dir / "soffice";
}

int Lines(const std::string& path) {
  std::ifstream in(path);
  int n = 0;
  for (std::string line; std::getline(in, line);) ++n;
  return n;
}

// A profile that is a plain file: the real office gives up at once and says
// why on stderr. The run reports each of its three phases, but the office is
// started once; the next run tries again.
TEST_F(ImpressEngine, AnOfficeThatCannotStartFailsTheRunOnceAndFast) {
  tamtest::TempDir bin, home;
  options_.soffice = FakeOffice(bin, "echo started >> '" + bin / "starts" +
                                         "'\nexec /usr/lib/libreoffice/program/soffice.bin \"$@\"\n");
  options_.user_installation = home / "profile";
  tamtest::WriteText(options_.user_installation, "not a folder");
  // With windows the office would ask the user about it instead of ending.
  options_.headless = ImpressOptions::Headless::kYes;
  auto server = Load();
  ASSERT_TRUE(server);
  tam::pres::TPowerPointApplication app(*server);
  tam::pres::TPowerPointPresentation presentation(*server);
  tam::pres::TPowerPointSlide slide(*server);
  tam::pres::ProcessClipboard clipboard;
  const std::vector<std::string> entries = {tamtest::TestData("jpeg/good/testorig.jpg")};
  std::vector<std::string> boxes, log;
  auto run = [&] {
    return tam::pres::InsertSlides(
        {app, presentation, slide, clipboard}, entries, {},
        [&](const std::string& text, const std::string&) { boxes.push_back(text); },
        [&](const std::string& line) { log.push_back(line); });
  };

  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(run().inserted, 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  EXPECT_TRUE(ProcessesMentioning(home.path()).empty()) << "an office is left running";
  EXPECT_EQ(Lines(bin / "starts"), 1) << "the later phases start no office of their own";
  ASSERT_EQ(boxes.size(), 3u);
  EXPECT_EQ(boxes[0], tam::pres::kServerNotInstalled);
  EXPECT_NE(boxes[1].find("LibreOffice"), std::string::npos) << boxes[1];
  EXPECT_EQ(boxes[2], boxes[1]);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_NE(log[0].find(boxes[1]), std::string::npos) << log[0];
  EXPECT_NE(log[0].find("User installation"), std::string::npos) << "the office's own words\n" << log[0];

  run();
  EXPECT_EQ(Lines(bin / "starts"), 2) << "the next run tries again";
  EXPECT_EQ(boxes.size(), 6u);
}

// An office that stays alive without ever answering is waited for up to the
// start limit, the caller's windows repainting meanwhile, then stopped with
// what it started (a child that ignores SIGTERM) and collected.
TEST_F(ImpressEngine, ASilentOfficeTimesOutAndIsStoppedWithItsChildren) {
  tamtest::TempDir bin;
  options_.soffice =
      FakeOffice(bin, "echo $$ > '" + bin / "pid" + "'\n(trap '' TERM; exec sleep 300) &\necho $! > '" +
                          bin / "child" + "'\nexec sleep 300\n");
  options_.start_timeout_ms = 3000;
  auto server = Load();
  ASSERT_TRUE(server);
  // Meanwhile the caller's windows repaint: what it gave runs on its thread.
  int waits = 0;
  bool elsewhere = false;
  const std::thread::id caller = std::this_thread::get_id();
  server->WhileWaiting([&] {
    ++waits;
    elsewhere |= std::this_thread::get_id() != caller;
  });
  const auto start = std::chrono::steady_clock::now();
  try {
    server->ConnectApplication();
    FAIL() << "a silent office was connected";
  } catch (const tam::Error& e) {
    EXPECT_NE(std::string(e.what()).find("3 秒"), std::string::npos) << e.what();
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
  EXPECT_EQ(server->StartedProcess(), 0);
  EXPECT_GE(waits, 30) << "the caller's windows were left unpainted through the wait";
  EXPECT_FALSE(elsewhere) << "the wait ran the caller's repaint on another thread";

  auto read_pid = [](const std::string& path) {
    std::ifstream in(path);
    pid_t pid = 0;
    in >> pid;
    return pid;
  };
  const pid_t office = read_pid(bin / "pid"), child = read_pid(bin / "child");
  ASSERT_GT(office, 0);
  ASSERT_GT(child, 0);
  EXPECT_TRUE(::kill(office, 0) == -1 && errno == ESRCH) << "the office is collected, not left a zombie";
  for (int i = 0; i < 40 && Alive(child); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(Alive(child)) << "what the office started is stopped with it";
  ::kill(office, SIGKILL);
  ::kill(child, SIGKILL);
}

// The command-line tool builds and stores through Impress, then stops the
// office it started. HOME is a scratch folder, so the office makes a new profile.
TEST_F(ImpressEngine, CommandLineToolStoresThroughImpress) {
  tamtest::TempDir home, work;
  std::filesystem::copy_file(tamtest::TestData("jpeg/good/testorig.jpg"), work / "a.jpg");
  std::filesystem::copy_file(tamtest::TestData("bmpsuite/g/pal8.bmp"), work / "写真.BMP");
  std::filesystem::copy_file(tamtest::TestData("jpeg/good/testorig.jpg"), work / "c.Jpg");
  const std::string env = "env HOME='" + home.path() + "' XDG_CONFIG_HOME='" + home.path() +
                          "/config' XDG_CACHE_HOME='" + home.path() + "/cache' ";
  const std::string cli = TAM_BINARY_DIR "/cli/tamarind2-cli slides";
  EXPECT_EQ(::system((env + cli + " --engine other -o x.pptx a.jpg 2>/dev/null").c_str()), 2 << 8);

  const std::string out =
      Shell(env + cli + " --engine impress -o '" + work / "out.pptx" + "' '" + work / "a.jpg" + "' '" +
            work / "写真.BMP" + "' '" + work / "c.Jpg" + "' 2>/dev/null; echo rc=$?");
  // Stop whatever office is still there with that profile before checking.
  auto leftovers = [&] { return ProcessesMentioning(home.path()); };
  for (int i = 0; i < 100 && !leftovers().empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const std::set<pid_t> left = leftovers();
  for (pid_t pid : left) ::kill(pid, SIGKILL);
  EXPECT_TRUE(left.empty()) << "the office the tool started is still running";

  EXPECT_NE(out.find("スライド:2\nrc=0"), std::string::npos) << out;
  const std::string pptx = work / "out.pptx";
  EXPECT_EQ(Count(Shell("unzip -Z1 '" + pptx + "'"), "ppt/slides/slide"), 2);
  EXPECT_EQ(Count(Shell("unzip -Z1 '" + pptx + "'"), "ppt/media/"), 2);
  EXPECT_EQ(RunsText(Shell("unzip -p '" + pptx + "' ppt/notesSlides/notesSlide2.xml")), "写真.BMP");
}

}  // namespace
