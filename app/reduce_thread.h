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
// thread waits while between_files(percent) runs here, on this thread, as it
// would in ReduceEntries itself; when it returns true the loop stops there.
// Returns the written paths in order; an error of the conversion is thrown
// here, as ReduceEntries throws it. Whatever happens, the second thread has
// ended before this returns: a file it is converting is finished, never cut
// off, and no further file is started.
std::vector<std::string> ReduceEntriesBesideEventLoop(const std::vector<std::string>& entries, int quality,
                                                      const ConvertOptions& options,
                                                      const std::function<bool(int percent)>& between_files);

}  // namespace tam
