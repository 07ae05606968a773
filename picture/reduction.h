// SPDX-License-Identifier: MIT
#pragma once
// The loop of the reduce command over the file list, without the window.
#include <functional>
#include <string>
#include <vector>

#include "picture/convert.h"

namespace tam {

// The share of entries finished before entry i of n, in percent: the
// quotient and the product each rounded at 80-bit precision, then truncated.
// It never reaches 100; after entry 53 of 100 it is 52.
int ProgressPercent(int i, int n);

// Converts each entry as the reduce command chooses (see ChooseConversionSource in
// picture/entry.h), in order. After each entry, after_each(percent) runs; when
// it returns true the loop stops there (the user aborted). Returns the written
// paths in order. A conversion error propagates at once; files already written
// stay on disk.
std::vector<std::string> ReduceEntries(const std::vector<std::string>& entries, int quality,
                                       const ConvertOptions& options,
                                       const std::function<bool(int percent)>& after_each);

}  // namespace tam
