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

TEST(EngineChoice, NoOfficeOnTheSystemMeansNoImpressEngine) {
  ImpressOptions options;
  options.soffice_fallbacks = {};
  const std::string saved_path = getenv("PATH") ? getenv("PATH") : "";
  setenv("PATH", "/nonexistent", 1);
  std::string why_not;
  const bool loaded = LoadImpressServer(options, &why_not) != nullptr;
  setenv("PATH", saved_path.c_str(), 1);
  EXPECT_FALSE(loaded);
  EXPECT_FALSE(why_not.empty());
}

}  // namespace
}  // namespace tam::pres
