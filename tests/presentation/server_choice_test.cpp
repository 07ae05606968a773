// SPDX-License-Identifier: MIT
#include "presentation/server_choice.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "presentation/impress_loader.h"
#include "support/recording_server.h"

namespace tam::pres {
namespace {

// Impress serves from the start when it loaded; a switch reaches the other
// engine at the next connection, and without Impress nothing can switch to it.
TEST(EngineChoice, ConnectionsGoToTheChosenEngine) {
  const auto builtin = std::make_shared<tamtest::RecordingServer>();
  const auto impress = std::make_shared<tamtest::RecordingServer>();
  EngineChoice both(builtin, impress);
  EXPECT_TRUE(both.ImpressAvailable());
  EXPECT_TRUE(both.UsesImpress());
  both.ConnectApplication();
  both.UseImpress(false);
  both.ConnectApplication();
  EXPECT_EQ(impress->log.calls.size(), 1u);
  EXPECT_EQ(builtin->log.calls.size(), 1u);

  EngineChoice alone(builtin, nullptr);
  EXPECT_FALSE(alone.UsesImpress());
  alone.UseImpress(true);
  EXPECT_FALSE(alone.UsesImpress());
  alone.ConnectApplication();
  EXPECT_EQ(builtin->log.calls.size(), 2u);
}

// An office that failed to start is not started again within the run, and
// its presentation is redrawn when the run ends: both need the run's bounds to
// reach the engine that serves it, even past a switch.
TEST(EngineChoice, TheRunsBoundsReachTheEngineThatServesIt) {
  struct Counting : tamtest::RecordingServer {
    int begun = 0, ended = 0;
    void BeginRun() override { ++begun; }
    void EndRun() override { ++ended; }
  };
  const auto builtin = std::make_shared<Counting>();
  const auto impress = std::make_shared<Counting>();
  EngineChoice choice(builtin, impress);
  choice.BeginRun();
  choice.UseImpress(false);
  choice.EndRun();
  EXPECT_EQ(impress->begun, 1);
  EXPECT_EQ(impress->ended, 1);
  choice.BeginRun();
  choice.EndRun();
  EXPECT_EQ(builtin->begun, 1);
  EXPECT_EQ(builtin->ended, 1);
  EXPECT_EQ(impress->begun, 1);
}

TEST(EngineChoice, NoOfficeOnTheSystemMeansNoImpressEngine) {
  ImpressOptions options;
  options.soffice_fallbacks = {};
  const std::string saved_path = getenv("PATH") ? getenv("PATH") : "";
  setenv("PATH", "/nonexistent", 1);
  std::string why_not;
  const bool loaded = LoadImpressServer(options, &why_not) != nullptr;
  setenv("PATH", saved_path.c_str(), 1);
  EXPECT_FALSE(loaded);
  // Refused for the missing office, before any plug-in is looked for: a
  // plug-in that fails to load says so in other words.
  EXPECT_EQ(why_not, "LibreOffice (soffice) が見つかりません");
}

}  // namespace
}  // namespace tam::pres
