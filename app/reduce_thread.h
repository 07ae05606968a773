// SPDX-License-Identifier: MIT
#pragma once
// The reduce command's loop on a thread of its own, so that the windows keep
// painting and taking input while one large picture converts.
#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "picture/convert.h"

namespace tam {

// What a run left: the written paths in order, or the error that ended it.
struct ReductionEnd {
  std::vector<std::string> written;
  std::exception_ptr error;
};

// ReduceEntries (picture/reduction.h) on a second thread while this thread,
// the windows' thread, runs its event loop. After each entry the second
// thread waits while this one shows the share (show(percent)), lets pending
// paints and timers run, and asks stop_requested(); when that is true the
// loop stops there. That step runs in whichever event loop this thread is in
// at the time, a dialog's too: a dialog opened meanwhile (a presentation's
// Save As) does not hold up the run.
// Nor does it hold up the run's end: once the second thread has ended,
// ended() is called in whichever event loop runs then, with what the run
// left, so what follows the run (the written list, a batch's insertion, an
// error box) comes at once, the dialog still open. The call itself returns
// after ended() has, once the event loop is back in its own frame: under
// such a dialog, when the dialog has closed. An error of the conversion
// comes to ended(), as ReduceEntries throws it; ended() must not throw.
// Whatever happens, the second thread has ended before ended() is called: a
// file it is converting is finished, never cut off, and no further file is
// started.
void ReduceEntriesBesideEventLoop(const std::vector<std::string>& entries, int quality,
                                  const ConvertOptions& options, const std::function<void(int percent)>& show,
                                  const std::function<bool()>& stop_requested,
                                  const std::function<void(ReductionEnd)>& ended);

}  // namespace tam
