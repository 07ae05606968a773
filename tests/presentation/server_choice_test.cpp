#include "presentation/server_choice.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "presentation/builtin_engine.h"
#include "presentation/impress_loader.h"

namespace tam::pres {
namespace {

// Without LibreOffice the built-in engine serves; with it, the Impress engine
// (the office is not started by the choice itself).
TEST(ServerChoice, ImpressWhenItsPluginLoadsElseTheBuiltInEngine) {
  std::string why_not;
  const bool impress_available = LoadImpressServer({}, &why_not) != nullptr;
  const std::shared_ptr<Server> chosen = ChooseServer();
  ASSERT_TRUE(chosen);
  EXPECT_EQ(dynamic_cast<OfficeServer*>(chosen.get()) != nullptr, impress_available) << why_not;
  EXPECT_EQ(dynamic_cast<BuiltinServer*>(chosen.get()) != nullptr, !impress_available);
}

TEST(ServerChoice, NoOfficeOnTheSystemMeansTheBuiltInEngine) {
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
