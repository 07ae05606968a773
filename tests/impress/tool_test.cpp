// SPDX-License-Identifier: MIT
// The command-line tool with the Impress engine, run as a user runs it:
// what it saves, and what an interrupted run leaves behind. HOME and the
// cache folder are scratch folders, so the office's profile is found there
// and every office left running is found by it and killed.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QImage>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <set>
#include <thread>

#include "gtest/gtest.h"
#include "presentation/impress_loader.h"
#include "support/qtapp.h"
#include "support/testdata.h"

extern char** environ;

#ifndef TAM_IMPRESS_PLUGIN
#define TAM_IMPRESS_PLUGIN ""  // not built: every case skips
#endif

namespace {

using namespace std::chrono_literals;

std::string ReadText(const std::string& path) {
  const std::vector<std::uint8_t> bytes = tamtest::ReadBytes(path);
  return {bytes.begin(), bytes.end()};
}
const std::string kCli = TAM_BINARY_DIR "/cli/tamarind2-cli";

// Processes whose arguments or environment mention text (a scratch HOME):
// the offices the tool started, and whatever else it started.
std::set<pid_t> ProcessesMentioning(const std::string& text) {
  std::set<pid_t> found;
  for (const auto& e : std::filesystem::directory_iterator("/proc")) {
    for (const char* part : {"cmdline", "environ"}) {
      std::ifstream in(e.path() / part);
      const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      if (all.find(text) != std::string::npos) found.insert(std::atoi(e.path().filename().c_str()));
    }
  }
  found.erase(::getpid());
  return found;
}

// Waits up to limit for no process to mention text; kills what is left.
bool NoneLeft(const std::string& text, std::chrono::seconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (!ProcessesMentioning(text).empty() && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(100ms);
  const std::set<pid_t> left = ProcessesMentioning(text);
  for (pid_t pid : left) ::kill(pid, SIGKILL);
  return left.empty();
}

std::set<std::string> Names(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(folder)) names.insert(e.path().filename());
  return names;
}

class ImpressTool : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::string(TAM_IMPRESS_PLUGIN).empty())
      GTEST_SKIP() << "the Impress plug-in was not built (no LibreOffice SDK)";
    tamtest::App();
  }
  void TearDown() override { NoneLeft(Home(), 0s); }

  // Starts the tool with a scratch HOME; its output goes to a file.
  pid_t Start(std::vector<std::string> args) {
    args.insert(args.begin(), {kCli, "slides"});
    std::vector<std::string> env = {Home(), "XDG_CACHE_HOME=" + home_ / "cache",
                                    "XDG_CONFIG_HOME=" + home_ / "config"};
    for (char** e = environ; *e; ++e)
      if (std::strncmp(*e, "HOME=", 5) && std::strncmp(*e, "XDG_", 4)) env.emplace_back(*e);
    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 1, (home_ / "out.txt").c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0600);
    posix_spawn_file_actions_adddup2(&files, 1, 2);
    pid_t pid = 0;
    EXPECT_EQ(::posix_spawn(&pid, kCli.c_str(), &files, nullptr, argv.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&files);
    return pid;
  }

  // The exit status, or -1 when the tool is still running after limit.
  static int Wait(pid_t pid, std::chrono::seconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > until) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        return -1;
      }
      std::this_thread::sleep_for(50ms);
    }
    return status;
  }

  // The scratch HOME as the tool's environment, and that of all it starts, holds it.
  std::string Home() const { return "HOME=" + home_.path() + std::string(1, '\0'); }

  std::string Output() { return ReadText(home_ / "out.txt"); }

  tamtest::TempDir home_;
};

struct Box {
  long x = -1, y = -1, cx = -1, cy = -1;
  bool operator==(const Box&) const = default;
};

// The place and size of the first shape of the first slide: the caption.
Box CaptionBox(const std::string& pptx) {
  std::string xml;
  if (FILE* p = ::popen(("unzip -p '" + pptx + "' ppt/slides/slide1.xml").c_str(), "r")) {
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) xml.append(buf, n);
    ::pclose(p);
  }
  std::smatch m;
  const std::regex first(R"re(<p:sp>.*?<a:off x="(\d+)" y="(\d+)"/><a:ext cx="(\d+)" cy="(\d+)"/>)re");
  if (!std::regex_search(xml, m, first)) return {};
  return {std::stol(m[1]), std::stol(m[2]), std::stol(m[3]), std::stol(m[4])};
}

TEST_F(ImpressTool, TheCaptionSitsWhereTheBuiltInEnginePutsIt) {
  tamtest::TempDir work;
  const std::string photo = tamtest::TestData("jpeg/good/testorig.jpg");
  ASSERT_EQ(Wait(Start({"-o", work / "builtin.pptx", photo}), 60s), 0) << Output();
  ASSERT_EQ(Wait(Start({"--engine", "impress", "-o", work / "impress.pptx", photo}), 120s), 0) << Output();
  const Box builtin = CaptionBox(work / "builtin.pptx"), impress = CaptionBox(work / "impress.pptx");
  ASSERT_EQ(builtin, (Box{0, 0, 9144000, 228600}));
  EXPECT_EQ(impress, builtin) << "at " << impress.x << "," << impress.y << " size " << impress.cx << "x"
                              << impress.cy;
  EXPECT_TRUE(NoneLeft(Home(), 20s)) << "the office the tool started is still running";
}

// The window's office listens on the pipe every window of this user shares;
// a tool run starts an office of its own, on a pipe and with a profile of
// its own, and leaves the window's office and presentation alone.
TEST_F(ImpressTool, ARunNeverAttachesToTheWindowsOffice) {
  tamtest::TempDir profile, work;
  tam::pres::ImpressOptions options;
  options.plugin = TAM_IMPRESS_PLUGIN;
  options.user_installation = profile.path();
  options.headless = tam::pres::ImpressOptions::Headless::kYes;
  options.start_timeout_ms = 90000;
  const std::string pipe =
      "/tmp/OSL_PIPE_" + std::to_string(::getuid()) + "_tamarind2_impress_" + std::to_string(::getuid());
  if (tamtest::Exists(pipe)) GTEST_SKIP() << "an office of this user's windows may be running: " << pipe;
  std::string why;
  auto window = tam::pres::LoadImpressServer(options, &why);
  ASSERT_TRUE(window) << why;
  auto shown = window->ConnectApplication()->AddPresentation(false);
  const pid_t office = static_cast<pid_t>(window->StartedProcess());
  ASSERT_GT(office, 0);
  shown->AddSlide(1, tam::pres::kLayoutBlank);

  const int status = Wait(
      Start({"--engine", "impress", "-o", work / "out.pptx", tamtest::TestData("jpeg/good/testorig.jpg")}),
      120s);
  EXPECT_EQ(status, 0) << Output();
  EXPECT_TRUE(tamtest::Exists(home_ / "cache/tamarind2/impress-profile-0/user"))
      << "the run did not start an office of its own";
  EXPECT_EQ(shown->SlideCount(), 1) << "the window's presentation changed";
  EXPECT_EQ(window->ConnectPresentation()->SlideCount(), 1);
  EXPECT_EQ(::kill(office, 0), 0) << "the window's office was stopped";
  EXPECT_TRUE(NoneLeft(Home(), 20s));

  window->ClosePresentation(*shown);
  window->TerminateOffice();
  for (int i = 0; i < 100 && ::kill(office, 0) == 0; ++i) std::this_thread::sleep_for(100ms);
  ::kill(-office, SIGKILL);
  ::kill(office, SIGKILL);
  ::unlink(pipe.c_str());
}

// A few large, different photos: the office takes seconds to save them.
void WritePhotos(const tamtest::TempDir& work, int count) {
  std::mt19937 random(7);
  QImage noise(2400, 1800, QImage::Format_RGB32);
  for (int i = 0; i < count; ++i) {
    for (int y = 0; y < noise.height(); ++y) {
      auto* line = reinterpret_cast<quint32*>(noise.scanLine(y));
      for (int x = 0; x < noise.width(); ++x) line[x] = random() | 0xFF000000u;
    }
    ASSERT_TRUE(noise.save(QString::fromStdString(work / ("p" + std::to_string(i) + ".jpg")), "JPEG", 95));
  }
}

// However the run is interrupted, the office it started goes, OUT (an
// earlier presentation) stays as it was, and nothing is left beside it.
TEST_F(ImpressTool, AnInterruptedRunLeavesNoOfficeAndTheOutputAsItWas) {
  tamtest::TempDir work;
  WritePhotos(work, 8);
  std::vector<std::string> args = {"--engine", "impress", "-o", work / "out.pptx"};
  for (int i = 0; i < 8; ++i) args.push_back(work / ("p" + std::to_string(i) + ".jpg"));
  ASSERT_EQ(Wait(Start({"-o", work / "out.pptx", work / "p0.jpg"}), 60s), 0) << Output();
  const std::string before = ReadText(work / "out.pptx");
  const std::set<std::string> names = Names(work.path());

  // The save has begun once something new shows in the folder.
  auto saving = [&] { return Names(work.path()) != names; };
  auto office_running = [&] {
    for (pid_t pid : ProcessesMentioning(Home())) {
      std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
      std::string name;
      if (std::getline(comm, name) && name.starts_with("soffice")) return true;
    }
    return false;
  };
  struct Case {
    int signal;
    const char* phase;
  };
  for (const Case& c : {Case{SIGINT, "save"}, Case{SIGTERM, "start"}, Case{SIGHUP, "save"},
                        Case{SIGKILL, "save"}, Case{SIGKILL, "start"}}) {
    SCOPED_TRACE(std::string(strsignal(c.signal)) + " during the " + c.phase);
    const pid_t tool = Start(args);
    const auto until = std::chrono::steady_clock::now() + 120s;
    const bool at_save = std::string(c.phase) == "save";
    while (!(at_save ? saving() : office_running()) && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(at_save ? 5ms : 20ms);
    ASSERT_TRUE(at_save ? saving() : office_running()) << Output();
    ::kill(tool, c.signal);
    const int status = Wait(tool, 30s);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.signal) << "status " << status << "\n"
                                                                     << Output();
    EXPECT_TRUE(NoneLeft(Home(), 20s)) << "the office the tool started is still running";
    EXPECT_EQ(ReadText(work / "out.pptx"), before) << "the output was replaced";
    // The save's folder goes only once the office is gone.
    for (int i = 0; i < 100 && Names(work.path()) != names; ++i) std::this_thread::sleep_for(50ms);
    EXPECT_EQ(Names(work.path()), names) << "something was left beside the output";
  }

  // The run after them all reuses the profile and saves.
  EXPECT_EQ(Wait(Start(args), 180s), 0) << Output();
  EXPECT_NE(ReadText(work / "out.pptx"), before);
  EXPECT_EQ(Names(work.path()), names);
  EXPECT_TRUE(NoneLeft(Home(), 20s));
}

}  // namespace
