// SPDX-License-Identifier: MIT
// The insert command through the window with the Impress item checked, against
// a real headless LibreOffice with a private profile, stopped by process id.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <QAction>
#include <QLabel>
#include <QProcess>
#include <chrono>
#include <filesystem>
#include <thread>

#include "app/Unit1.h"
#include "app_fakes.h"
#include "presentation/builtin_engine.h"
#include "presentation/impress_loader.h"
#include "support/qtapp.h"
#include "support/testdata.h"

namespace tam {
namespace {

TEST(ImpressRoute, CheckedItemBuildsTheSlidesInTheOffice) {
#ifndef TAM_IMPRESS_PLUGIN
  GTEST_SKIP() << "the Impress plug-in was not built (no LibreOffice SDK)";
#else
  tamtest::App();
  tamtest::TempDir dir, profile;
  pres::ImpressOptions options;
  options.plugin = TAM_IMPRESS_PLUGIN;
  options.pipe_name = "tamroute_" + std::to_string(::getpid());
  options.user_installation = profile.path();
  options.headless = pres::ImpressOptions::Headless::kYes;
  options.start_timeout_ms = 90000;
  std::string why;
  std::shared_ptr<pres::OfficeServer> office = pres::LoadImpressServer(options, &why);
  ASSERT_TRUE(office) << why;
  std::filesystem::copy_file(tamtest::TestData("jpeg/good/testorig.jpg"), dir / "a.jpg");
  std::filesystem::copy_file(tamtest::TestData("bmpsuite/g/rgb24.bmp"), dir / "b.BMP");

  tamtest::CommandFakes fakes;
  Seams seams = fakes.Seams(dir / "tamarind2");
  const auto builtin = std::make_shared<pres::BuiltinServer>();
  seams.server = builtin;
  seams.office = office;
  TForm1 form(seams);
  ASSERT_TRUE(form.I1->isChecked());
  form.SetListEntries({dir / "a.jpg", dir / "b.BMP"});
  form.PPTP1->setEnabled(true);
  form.PPTP1->trigger();
  const long started = office->StartedProcess();

  EXPECT_TRUE(fakes.messages->shown.empty()) << fakes.messages->shown[0].text.toStdString();
  EXPECT_EQ(form.SlideLb->text(), "スライド:2");
  EXPECT_EQ(builtin->application(), nullptr) << "the built-in engine was never asked";
  const std::shared_ptr<pres::Presentation> made = form.PowerPointPresentation1->object();
  ASSERT_TRUE(made);
  EXPECT_EQ(made->SlideCount(), 2);
  office->StorePresentation(*made, dir / "out.pptx", pres::kPptxFilter);
  QProcess unzip;
  unzip.start("unzip", {"-Z1", QString::fromStdString(dir / "out.pptx")});
  ASSERT_TRUE(unzip.waitForFinished(30000));
  const QString parts = QString::fromUtf8(unzip.readAllStandardOutput());
  EXPECT_TRUE(parts.contains("ppt/slides/slide2.xml") && !parts.contains("ppt/slides/slide3.xml"))
      << parts.toStdString();

  office->ClosePresentation(*made);
  form.PowerPointPresentation1->Disconnect();
  if (started > 0) {
    office->TerminateOffice();
    for (int i = 0; i < 200 && ::kill(static_cast<pid_t>(started), 0) == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ::kill(static_cast<pid_t>(started), SIGKILL);
  }
#endif
}

}  // namespace
}  // namespace tam
