// SPDX-License-Identifier: MIT
// The 設定 menu's choice between LibreOffice Impress and the built-in engine:
// which engine the insert command reaches, with a stand-in for the office.
#include <gtest/gtest.h>

#include <QAction>
#include <QLabel>
#include <filesystem>

#include "app/Unit1.h"
#include "app/presentation_window.h"
#include "app_fakes.h"
#include "presentation/builtin_engine.h"
#include "support/qtapp.h"
#include "support/recording_server.h"
#include "support/testdata.h"

namespace tam {
namespace {

class EngineChoiceMenu : public ::testing::Test {
 protected:
  EngineChoiceMenu() {
    tamtest::App();
    std::filesystem::copy_file(tamtest::TestData("jpeg/good/testorig.jpg"), dir / "a.jpg");
  }
  std::unique_ptr<TForm1> Window(std::shared_ptr<pres::Server> office) {
    Seams seams = fakes.Seams(dir / "tamarind2");
    seams.server = builtin;
    seams.office = std::move(office);
    return std::make_unique<TForm1>(seams);
  }
  void Insert(TForm1& form) {
    form.SetListEntries({dir / "a.jpg"});
    form.PPTP1->setEnabled(true);
    form.PPTP1->trigger();
  }

  tamtest::TempDir dir;
  tamtest::CommandFakes fakes;
  std::shared_ptr<PresentationWindows> windows = std::make_shared<PresentationWindows>();
  std::shared_ptr<pres::BuiltinServer> builtin = std::make_shared<pres::BuiltinServer>(windows);
  std::shared_ptr<tamtest::RecordingServer> office = std::make_shared<tamtest::RecordingServer>();
};

TEST_F(EngineChoiceMenu, WithoutAnOfficeTheItemIsGreyedAndTheBuiltInEngineServes) {
  const auto form = Window(nullptr);
  EXPECT_FALSE(form->I1->isEnabled());
  EXPECT_FALSE(form->I1->isChecked());
  EXPECT_FALSE(form->UsesImpress());
  Insert(*form);
  ASSERT_TRUE(builtin->application());
  EXPECT_EQ(builtin->application()->presentations().size(), 1u);
  builtin->application()->presentations()[0]->Close();
}

// Checked at start when the office loads; unchecked, the slides appear in the
// program's own presentation window and the office is never asked; checked
// again, the next insertion goes to the office.
TEST_F(EngineChoiceMenu, TheItemSwitchesEnginesBetweenInsertions) {
  const auto form = Window(office);
  EXPECT_TRUE(form->I1->isEnabled());
  EXPECT_TRUE(form->I1->isChecked());
  EXPECT_TRUE(form->UsesImpress());

  form->I1->trigger();
  EXPECT_FALSE(form->I1->isChecked());
  EXPECT_FALSE(form->UsesImpress());
  Insert(*form);
  EXPECT_TRUE(office->log.calls.empty());
  EXPECT_EQ(form->SlideLb->text(), "スライド:1");
  ASSERT_TRUE(builtin->application());
  ASSERT_EQ(builtin->application()->presentations().size(), 1u);
  const std::shared_ptr<pres::BuiltinPresentation> shown = builtin->application()->presentations()[0];
  ASSERT_NE(windows->WindowOf(*shown), nullptr);
  EXPECT_TRUE(windows->WindowOf(*shown)->isVisible());
  ASSERT_EQ(shown->data().slides.size(), 1u);
  EXPECT_EQ(shown->data().slides[0]->notes, "a.jpg");

  form->I1->trigger();
  EXPECT_TRUE(form->UsesImpress());
  Insert(*form);
  EXPECT_EQ(office->log.calls.front(), "connect application");
  EXPECT_NE(std::find(office->log.calls.begin(), office->log.calls.end(), "slide1: notes a.jpg"),
            office->log.calls.end());
  EXPECT_EQ(builtin->application()->presentations().size(), 1u);
  EXPECT_EQ(shown->data().slides.size(), 1u);
  EXPECT_TRUE(fakes.messages->shown.empty());
  shown->Close();
}

// While the office runs, its windows (the one that says why it cannot start
// among them) must not lie under a window kept above everything; afterwards
// the window is above again, as its menu says.
TEST_F(EngineChoiceMenu, TheWindowGoesUnderTheOfficeOnlyWhileItWorks) {
  office->log.fail_connect = "no office";
  const auto form = Window(office);
  ASSERT_TRUE(form->N4->isChecked());
  std::vector<bool> above_while_shown;
  fakes.messages->on_show = [&] {
    above_while_shown.push_back(form->windowFlags() & Qt::WindowStaysOnTopHint);
  };
  Insert(*form);
  ASSERT_FALSE(above_while_shown.empty());
  EXPECT_FALSE(above_while_shown.front());
  EXPECT_TRUE(form->windowFlags() & Qt::WindowStaysOnTopHint);

  form->N4->trigger();  // not kept above: the run leaves it so
  Insert(*form);
  EXPECT_FALSE(form->windowFlags() & Qt::WindowStaysOnTopHint);
}

}  // namespace
}  // namespace tam
