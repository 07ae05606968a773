// SPDX-License-Identifier: MIT
// The Impress plug-in's file is looked at before dlopen is handed it: dlopen
// would wait for ever on a FIFO, and map the pages of a module cut short (an
// upgrade that stopped half-way) past its end, killing the program with SIGBUS.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "presentation/impress_loader.h"
#include "support/testdata.h"

namespace {

std::string LoadFails(const std::string& plugin) {
  tam::pres::ImpressOptions options;
  options.soffice = "/bin/true";  // an office is there; only the plug-in is wrong
  options.plugin = plugin;
  std::string why;
  EXPECT_FALSE(tam::pres::LoadImpressServer(options, &why)) << plugin;
  EXPECT_NE(why.find(plugin), std::string::npos) << "the file is named: " << why;
  return why;
}

TEST(PluginFile, ABrokenPluginIsRefusedWithItsNameNeverHandedToDlopen) {
  tamtest::TempDir dir;
  ASSERT_EQ(::mkfifo((dir / "fifo.so").c_str(), 0644), 0);
  EXPECT_NE(LoadFails(dir / "fifo.so").find("通常のファイルではありません"), std::string::npos);

  // The headers whole, the first segment cut: this test program's own file.
  auto elf = tamtest::ReadBytes("/proc/self/exe");
  ASSERT_GT(elf.size(), 8192u);
  elf.resize(4096);
  tamtest::WriteBytes(dir / "cut.so", elf);
  EXPECT_NE(LoadFails(dir / "cut.so").find("途中で切れています"), std::string::npos);

  // No ELF file at all: dlopen's own reason.
  tamtest::WriteBytes(dir / "text.so", {'n', 'o', 't', '\n'});
  LoadFails(dir / "text.so");
}

}  // namespace
