// SPDX-License-Identifier: MIT
#include "presentation/insert_run.h"

#include <new>
#include <set>

#include "picture/error.h"
#include "picture/kind.h"
#include "picture/path.h"
#include "presentation/insertion.h"

namespace tam::pres {

InsertOutcome InsertSlides(
    const InsertComponents& c, const std::vector<std::string>& entries, const JpegDecodeOptions& decode,
    const std::function<void(const std::string& text, const std::string& file)>& report,
    const std::function<void(const std::string& line)>& log, const std::function<void()>& repaint) {
  InsertOutcome outcome;
  struct Run {
    Server& server;
    Run(Server& s, const std::function<void()>& repaint) : server(s) {
      server.WhileWaiting(repaint);
      server.BeginRun();
    }
    ~Run() {
      server.EndRun();
      server.WhileWaiting({});
    }
  } run(c.application.server(), repaint);

  // The same failed start meets every phase of the run; it is logged once.
  bool start_logged = false;
  auto log_start_failure = [&](const std::exception& error) {
    const auto* failed = dynamic_cast<const ServerStartError*>(&error);
    if (!failed || start_logged || !log) return;
    start_logged = true;
    log(std::string(failed->what()) + (failed->detail().empty() ? "" : ": " + failed->detail()));
  };

  // Connection. However the server fails to start, the user is told it is
  // missing; a failure after it started keeps the server's own words.
  try {
    try {
      c.application.Connect();
    } catch (const std::exception& error) {
      log_start_failure(error);
      throw Error(kServerNotInstalled);
    } catch (...) {
      throw Error(kServerNotInstalled);
    }
    c.application.SetVisible(true);
  } catch (const std::exception& error) {
    report(ErrorText(error), {});
    c.application.Disconnect();
  }

  // A new presentation with a window. On failure the component keeps what it
  // held, so the slides go to an earlier run's presentation if there is one.
  try {
    c.presentation.ConnectTo(c.application.PresentationsAdd(true));
  } catch (const std::exception& error) {
    log_start_failure(error);
    report(ErrorText(error), {});
  }

  // One slide per picture entry; the first failure ends the loop.
  const std::string* current = nullptr;  // the entry whose slide is being made
  try {
    for (std::size_t i = 0; i < entries.size(); ++i) {
      const std::string& entry = entries[i];
      const PictureKind kind = KindOfName(entry);
      if (kind == PictureKind::None) continue;
      current = &entry;
      AddPictureSlide(c.presentation, c.slide, entry, SlidePicture::Load(entry, kind, decode), c.clipboard);
      ++outcome.inserted;
      outcome.completed.push_back(i);
      if (repaint) repaint();
    }
    c.slide.Disconnect();
  } catch (const std::exception& error) {
    log_start_failure(error);
    // The picture whose slide was being made, whether it failed itself or
    // the server did.
    report(ErrorText(error), current ? *current : std::string());
    const auto* in_file = dynamic_cast<const Error*>(&error);
    const bool picture_failed = in_file && !in_file->file().empty();
    // A failure of the server's own may have taken the presentation with it,
    // as an office that ended does: its slides are then nowhere, none is
    // counted, and no picture counts as held by it.
    if (!outcome.completed.empty() && !picture_failed) {
      try {
        c.presentation.SlidesCount();
      } catch (const std::exception&) {
        outcome.completed.clear();
        outcome.inserted = 0;
      }
    }
  }
  return outcome;
}

void TrashInsertedFiles(const std::vector<std::string>& entries, const InsertOutcome& outcome, Trash& trash) {
  std::set<std::string> sent;  // a file listed twice goes once
  for (std::size_t i : outcome.completed) {
    if (i >= entries.size() || !sent.insert(entries[i]).second) continue;
    if (FileExists(entries[i])) trash.MoveToTrash(entries[i]);
  }
}

}  // namespace tam::pres
