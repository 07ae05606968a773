// SPDX-License-Identifier: MIT
#include "picture/reduction.h"

#include <cmath>

#include "picture/entry.h"
#include "picture/error.h"

namespace tam {

int ProgressPercent(int i, int n) {
  // volatile keeps each step rounded to long double as it is formed.
  volatile long double quotient = static_cast<long double>(i) / static_cast<long double>(n);
  volatile long double product = quotient * 100.0L;
  return static_cast<int>(std::trunc(product));
}

std::vector<std::string> ReduceEntries(const std::vector<std::string>& entries, int quality,
                                       const ConvertOptions& options,
                                       const std::function<bool(int percent)>& after_each) {
  std::vector<std::string> written;
  const int n = static_cast<int>(entries.size());
  for (int i = 0; i < n; ++i) {
    if (const auto job = ChooseConversionSource(entries[i])) {
      std::string output;
      try {
        output = ConvertPicture(job->path, quality, job->kind, options);
      } catch (Error& failed) {
        NoteFile(failed, job->path);  // which of the list's files it was
        throw;
      }
      if (!output.empty()) written.push_back(std::move(output));
    }
    if (after_each && after_each(ProgressPercent(i, n))) break;
  }
  return written;
}

}  // namespace tam
