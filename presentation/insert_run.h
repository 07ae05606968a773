// SPDX-License-Identifier: MIT
#pragma once
// The insert command without the window: connect to the presentation server,
// make a new presentation, then one slide per listed JPEG or BMP picture.
// Each of the three phases is guarded on its own: its failure is reported and
// the run goes on with the next phase.
#include <cstddef>
#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "picture/jpeg.h"
#include "picture/trash.h"
#include "presentation/components.h"

namespace tam::pres {

// Shown instead of whatever the first connection attempt failed with.
inline constexpr char kServerNotInstalled[] = "PowerPoint does not appear to be installed";

struct InsertComponents {
  TPowerPointApplication& application;
  TPowerPointPresentation& presentation;
  TPowerPointSlide& slide;
  Clipboard& clipboard;  // where each picture goes before it is pasted
};

struct InsertOutcome {
  int inserted = 0;                    // slides that got their picture and are still held
  std::vector<std::size_t> completed;  // indices of their entries, in list order
};

// Runs the connection, presentation and insertion phases over entries and
// returns what was inserted. A phase that fails with a std::exception hands
// its text to report and ends; anything else thrown passes through unchanged.
// When the server program could not be started, what it said about that goes
// to log once per run, as the error's text, ": " and its words. The run is
// one run of the application component's server (see Server::BeginRun).
// The application component stays bound (the caller releases it when done);
// the slide component is released when the loop ran through. repaint, if
// given, runs after each complete slide and, within the run, now and then
// while the server keeps it waiting (Server::WhileWaiting), as an office
// that is starting does for up to a minute.
InsertOutcome InsertSlides(
    const InsertComponents& components, const std::vector<std::string>& entries,
    const JpegDecodeOptions& decode,
    const std::function<void(const std::string& text, const std::string& file)>& report,
    const std::function<void(const std::string& line)>& log = {}, const std::function<void()>& repaint = {});

// Sends the files whose entries got a complete slide to the trash, in list
// order. Entries skipped for their extension, left unreached by an error or
// failed half-way are spared: a picture is never trashed unless the
// presentation holds it. A file that is no longer there is passed over, and a
// file the trash refuses stays where it is.
void TrashInsertedFiles(const std::vector<std::string>& entries, const InsertOutcome& outcome, Trash& trash);

}  // namespace tam::pres
