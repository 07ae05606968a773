// SPDX-License-Identifier: MIT
#pragma once
// The LibreOffice Impress engine lives in a plug-in loaded at run time, so
// that this program starts on machines without LibreOffice: nothing here
// links the UNO libraries.
#include <memory>
#include <string>
#include <vector>

#include "presentation/server.h"

namespace tam::pres {

// How the Impress engine reaches its office. Empty fields take the defaults.
struct ImpressOptions {
  // The soffice launcher; when empty, the first one on PATH, else the first
  // existing one among the fallbacks.
  std::string soffice;
  std::vector<std::string> soffice_fallbacks = {"/usr/lib/libreoffice/program/soffice",
                                                "/opt/libreoffice/program/soffice"};
  // The plug-in file; found beside the program or in the install folder when empty.
  std::string plugin;
  // Name of the pipe the office listens on; per user when empty.
  std::string pipe_name;
  // A private profile folder (-env:UserInstallation); the user's own profile when empty.
  std::string user_installation;
  // Start the office without any window. By default it does so when there is no display.
  enum class Headless { kAuto, kYes, kNo } headless = Headless::kAuto;
  // The presentations are made for the user to look at. Where they could be
  // shown (the office is not to run headless), an office on the pipe that
  // runs without a display, as one started by a run without a display does,
  // is refused: a presentation made there would be seen by nobody.
  bool shown = false;
  // The office is this program's own and goes with it, as the command-line
  // tool's is: a pipe of its own for each server (unless pipe_name is
  // given) and a profile no running office shares (unless user_installation
  // is given), so that no other office is attached to and nobody else
  // attaches to it; and however this program ends, killed too, the office it
  // started is stopped and the folders given to WatchFolder are removed.
  bool private_office = false;
  // Longest wait for one call into the office, and for a started office to answer.
  int call_timeout_ms = 60000;
  int start_timeout_ms = 60000;
};

// The Impress engine's extras beyond the presentation object model.
class OfficeServer : public Server {
 public:
  // Writes a presentation made by this engine to a file through one of the
  // office's export filters ("Impress MS PowerPoint 2007 XML", "impress_pdf_Export").
  // The presentation stays open and unchanged in the office.
  virtual void StorePresentation(Presentation& presentation, const std::string& path,
                                 const std::string& filter) = 0;
  // Closes a presentation of this engine without saving it.
  virtual void ClosePresentation(Presentation& presentation) = 0;
  // Process id of the office this server started (the launcher), 0 when it attached
  // to a running one or has not connected yet.
  virtual long StartedProcess() const = 0;
  // Asks the office to quit (for headless runs that started their own office).
  virtual void TerminateOffice() = 0;
  // With a private office: while watched, a folder (an absolute path) is
  // removed with all it holds should this program end before it stops
  // watching it. Does nothing otherwise.
  virtual void WatchFolder(const std::string& folder, bool watch) = 0;
  // Whether the office redraws the presentation's views as it changes; a
  // presentation made within an insert run is redrawn once the run ends.
  virtual bool Redrawing(Presentation& presentation) = 0;
};

// The export filter that writes .pptx.
inline constexpr const char* kPptxFilter = "Impress MS PowerPoint 2007 XML";
inline constexpr const char* kPdfFilter = "impress_pdf_Export";

// The first executable "soffice" in the colon-separated search_path, else the
// first existing file among fallbacks; empty when there is none.
std::string FindSoffice(const std::string& search_path, const std::vector<std::string>& fallbacks);

// The Impress engine, or null (with the reason in why_not, in Japanese) when
// LibreOffice is not installed or the plug-in cannot be loaded. The office is
// not started here: that happens on the first ConnectApplication.
std::unique_ptr<OfficeServer> LoadImpressServer(const ImpressOptions& options, std::string* why_not);

// The plug-in's entry point and its signature.
inline constexpr const char* kImpressEntryPoint = "tam_create_impress_server";
using CreateImpressServerFn = OfficeServer* (*)(const ImpressOptions* options);

}  // namespace tam::pres
