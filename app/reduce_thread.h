#pragma once
// The reduce command's loop on a thread of its own, so that the windows keep
// painting and taking input while one large picture converts.
#include <functional>
#include <string>
#include <vector>

#include "picture/convert.h"

namespace tam {

// ReduceEntries (picture/reduction.h) on a second thread while this thread,
// the windows' thread, runs its event loop. After each entry the second
// thread waits while this one shows the share (show(percent)), lets pending
// paints and timers run, and asks stop_requested(); when that is true the
// loop stops there. That step runs in whichever event loop this thread is in
// at the time, a dialog's too: a dialog opened meanwhile (a presentation's
// Save As) does not hold up the run. What follows the run (the written list,
// an error box) waits until such a dialog is closed.
// Returns the written paths in order; an error of the conversion is thrown
// here, as ReduceEntries throws it. Whatever happens, the second thread has
// ended before this returns: a file it is converting is finished, never cut
// off, and no further file is started.
std::vector<std::string> ReduceEntriesBesideEventLoop(const std::vector<std::string>& entries, int quality,
                                                      const ConvertOptions& options,
                                                      const std::function<void(int percent)>& show,
                                                      const std::function<bool()>& stop_requested);

}  // namespace tam
