// SPDX-License-Identifier: MIT
#pragma once
// The command line of tamarind2: files and folders to put into the list at
// start, as a file manager's "Open with" hands them over, or a request for
// the help or version text.
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "app/seams.h"

namespace tam {

class TForm1;

struct CommandLine {
  enum class Action { kRun, kHelp, kVersion, kUsageError };
  Action action = Action::kRun;
  // Absolute byte paths in the order given, as a drop would deliver them.
  std::vector<std::string> paths;
  // For kUsageError: what is wrong, in Japanese.
  std::string error;
};

// args excludes the program name. Relative paths are taken from cwd; file://
// URIs are decoded to bytes like dropped ones. "--" ends the options.
CommandLine ParseCommandLine(std::span<const char* const> args, const std::string& cwd);

// Creates and shows the main window, then puts paths into its list in the
// order given: a folder (or a link to one) adds its pictures exactly as
// choosing it in the folder dialog would; the other paths between two
// folders enter as one drop of them on the window would (same rules, counts
// and labels). No paths: the window is as any fresh start leaves it.
std::unique_ptr<TForm1> ShowMainWindow(const std::vector<std::string>& paths, Seams seams = {});

// The texts of --help and --version, each ending in a newline.
std::string HelpText();
std::string VersionText();

}  // namespace tam
