// SPDX-License-Identifier: MIT
#pragma once
// The check a module's file passes before dlopen is handed it. dlopen opens a
// FIFO and waits for a writer that never comes, and maps an ELF file's
// segments as its headers state them without looking at how long the file is:
// a module cut short (a copy or an upgrade that stopped half-way) kills the
// program with SIGBUS at the first page past its end.
#include <string>

namespace tam::pres {

// The folder of the running program, where an installed tree keeps its
// modules relative to it; empty when the system does not say.
std::string ProgramFolder();

// Why the file at path is no module dlopen may be given, or "" when it may.
// A file that is no ELF file of this machine, or cannot be opened, passes:
// dlopen itself says why it refuses those.
std::string ModuleFileProblem(const std::string& path);

// The name dlopen is given for the module at path: a name without a slash it
// would look for along the library path, not in the current folder where
// every other look at the file (and the user) finds it.
inline std::string ModuleFileName(const std::string& path) {
  return path.find('/') == std::string::npos ? "./" + path : path;
}

}  // namespace tam::pres
