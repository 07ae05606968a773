// SPDX-License-Identifier: MIT
#pragma once
// tamarind2-cli slides -o OUT.pptx FILE...: one slide per JPEG or BMP file,
// made by the built-in presentation engine as the insert command makes them.
#include <span>
#include <string_view>

namespace tamcli {

// Takes the arguments after "slides". 0 when every picture became a slide and
// the file was saved, 1 when a picture or the save failed, when no slide was
// made (nothing is saved then) or OUT is an existing file that is no zip
// package, 2 for a bad command line (OUT not named .pptx, or one of the pictures).
int RunSlides(std::span<const std::string_view> args);

}  // namespace tamcli
