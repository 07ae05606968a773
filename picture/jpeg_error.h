// SPDX-License-Identifier: MIT
#pragma once
// What the decoder (jpeg.cpp) and the encoder (jpeg_encode.cpp) share: how
// libjpeg's errors reach them. For those two files alone.
// jpeglib.h wants FILE and size_t declared before it.
#include <jpeglib.h>

#include <csetjmp>
#include <cstddef>
#include <cstdio>

#include "picture/error.h"

namespace tam::jpeg_detail {

// libjpeg reports an error through error_exit, which must not return: it
// jumps back to the setjmp of the small function that made the call. Those
// functions (the "Guarded" ones of jpeg.cpp and jpeg_encode.cpp) hold
// nothing with a destructor, so the jump skips no clean-up; on error they
// destroy the libjpeg object and return false, and their caller throws once
// they have returned.
struct ErrorManager {
  jpeg_error_mgr pub;
  std::jmp_buf jump;
  bool too_many_scans = false;  // the error was ours, not libjpeg's
  bool cut_short_is_error = false;
  decltype(jpeg_error_mgr::emit_message) count_warning = nullptr;  // libjpeg's own
};

inline ErrorManager* Manager(j_common_ptr cinfo) { return reinterpret_cast<ErrorManager*>(cinfo->err); }

// Jumps on errors, prints nothing, and turns the warning of a cut-short
// stream into an error where cut_short_is_error says so.
void InstallErrorManager(ErrorManager& err);

// The error every libjpeg failure is reported as.
Error JpegError(int code);

// Rows handed to libjpeg in one call.
constexpr int kBatchRows = 16;

}  // namespace tam::jpeg_detail
