#include "presentation/insert_run.h"

#include <new>
#include <set>

#include "picture/error.h"
#include "picture/path.h"
#include "presentation/insertion.h"

namespace tam::pres {

QString ErrorText(const std::exception& error) {
  if (dynamic_cast<const std::bad_alloc*>(&error)) return QStringLiteral("メモリが不足しています");
  return QString::fromUtf8(error.what());
}

InsertOutcome InsertSlides(const InsertComponents& c, const std::vector<std::string>& entries,
                           const JpegDecodeOptions& decode,
                           const std::function<void(const QString& text)>& report,
                           const std::function<void()>& after_slide) {
  InsertOutcome outcome;

  // Connection. However the server fails to start, the user is told it is
  // missing; a failure after it started keeps the server's own words.
  try {
    try {
      c.application.Connect();
    } catch (...) {
      throw Error(kServerNotInstalled);
    }
    c.application.SetVisible(true);
  } catch (const std::exception& error) {
    report(ErrorText(error));
    c.application.Disconnect();
  }

  // A new presentation with a window. On failure the component keeps what it
  // held, so the slides go to an earlier run's presentation if there is one.
  try {
    c.presentation.ConnectTo(c.application.PresentationsAdd(true));
  } catch (const std::exception& error) {
    report(ErrorText(error));
  }

  // One slide per picture entry; the first failure ends the loop.
  try {
    for (std::size_t i = 0; i < entries.size(); ++i) {
      const std::string& entry = entries[i];
      const PictureKind kind = ClassifyPicture(entry);
      if (kind == PictureKind::None) continue;
      const SlidePicture picture = SlidePicture::Load(entry, kind, decode);
      AddPictureSlide(c.presentation, c.slide, entry, picture);
      ++outcome.inserted;
      outcome.completed.push_back(i);
      if (after_slide) after_slide();
    }
    c.slide.Disconnect();
  } catch (const std::exception& error) {
    report(ErrorText(error));
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
