// SPDX-License-Identifier: MIT
#pragma once
// The JPEG-to-JPEG reduction without the whole decoded picture in memory:
// rows go from the decoder through a small ring into the filter, and from the
// filter into the encoder, decoding on one thread while the other filters and
// encodes. The result is byte for byte what DecodeJpeg, ReducePicture and
// EncodeJpeg give one after the other.
#include <cstdint>
#include <optional>
#include <vector>

#include "picture/jpeg.h"
#include "picture/jpeg_header.h"

namespace tam {

// Buys (2026-12-10, 38 bench photos, bench/rounds.py): without it a
// reduction takes 2.0x the CPU and wall time and 1.5x the peak memory
// (medians; the whole-picture path filters exactly, not with FastRowFilter).
// Off (every JPEG through the whole-picture path): false here.
constexpr bool kStreamJpeg = true;

// Whether a JPEG file with this header can take the streaming path: it needs no upright turn
// from an EXIF orientation (the turn needs the whole picture).
bool CanStreamJpeg(const JpegHeader& header);

// Decodes the file at full size, reduces it to fit box_w x box_h (or keeps
// its size when it already fits) and encodes the result at the given
// quality, progressive when the source has several scans, exactly as the
// whole-picture path does. std::nullopt when the streaming path cannot serve
// the file (an EXIF turn, no second thread or not enough memory to be had):
// the caller then takes the whole-picture path. Errors throw the same
// tam::Error as DecodeJpeg ("JPEG エラー #<code>"), and nothing is handed back.
std::optional<std::vector<std::uint8_t>> ReduceJpegStreaming(const JpegFile& file, std::int32_t box_w,
                                                             std::int32_t box_h, int quality,
                                                             const JpegDecodeOptions& options = {});

}  // namespace tam
