// SPDX-License-Identifier: MIT
#pragma once
// What one picture may cost. Every file is untrusted: a few hundred bytes can
// claim a picture of gigabytes, or ten thousand scans over it. Each size is
// checked against these limits before the big allocation, so such a file is
// refused at once instead of taking the machine's memory or minutes of time.
//
// The budget: one conversion, or one slide of the insertion, may take at most
// 1 GiB. The program itself, its libraries and the small buffers (tables, the
// reduced picture and its JPEG) take up to about 40 MiB of that, so the large
// buffers get kMemoryBudget, 960 MiB (1,006,632,960 bytes). Per pixel of a w x h source (MP = 10^6 pixels):
//   - the file itself, held whole while it decodes (a 100 MP BMP of 32 bits
//     is 400 MB; a 100 MP JPEG rarely more than 60 MB);
//   - the decoded picture: 3 B/px (1 B/px for a quantized one, which later
//     becomes 3 B/px beside its 1 B/px while it is expanded);
//   - libjpeg's coefficients of a progressive (multi-scan) source, 2 B for
//     each of the 64 coefficients of every block, whole iMCU rows: 2 B/px for
//     grey, 3 B/px for 4:2:0 colour, 6 B/px for 4:4:4 colour; freed when the
//     decoding finishes, before the upright turn;
//   - the upright turn of an EXIF orientation: a second picture beside the first;
//   - the reduction: the source picture and a 960 x 720 result (2 MB), tables
//     of a few MB at most;
//   - the clipboard of the insertion: the picture, its QImage copy, then the
//     QImage and its PNG (at most about as large), so three pictures at once;
//     the clipboard's pixels come back as 24 bits, so for a palette picture
//     that is the picture and its QImage at 1 B/px beside a 24-bit picture
//     and its PNG (the 24-bit QImage made on the way goes before the PNG).
// The worst real photo of 100 MP, progressive 4:4:4, turned upright, takes
// 60 MB + max(601 MB + 301 MB while decoding, 2 x 301 MB while turning) =
// 962 MB (917 MiB) in the conversion and 60 MB + 3 x 301 MB = 962 MB on the
// clipboard, within the budget; the usual camera file (baseline 4:2:0, about
// 30 MB) needs 330 MB whole (630 MB turned), or almost nothing streamed. The
// refused bombs lie far beyond: a progressive 30000 x 30000 claim needs 5.4 GB.
//
// Time: the decoding work grows with pixels x scans. Pixels are bounded by
// memory (and by 2^31 for the streamed baseline file, which decodes even at
// that size in seconds); scans by kMostScans. Cameras write one scan,
// progressive encoders about 10; at 100 scans the largest grey progressive
// picture the budget allows (about 500 MP) decodes in about 12 s here.
#include <cstdint>
#include <string>

#include "picture/error.h"

namespace tam {

inline constexpr std::int64_t kMemoryBudget = std::int64_t{960} << 20;

// The largest file read whole: more than any real picture of 100 MP and
// small enough that its picture still fits the budget beside it.
inline constexpr std::int64_t kLargestFile = std::int64_t{512} << 20;

// Most scans a JPEG may have.
inline constexpr int kMostScans = 100;

// A picture refused for what it would cost. The message says why, without
// the file's name, which the caller adds (NamingFile) as it knows it.
class LimitError : public Error {
 public:
  using Error::Error;
};

// The sizes behind one decoded picture.
struct DecodeCost {
  std::int64_t width = 0, height = 0;
  int bytes_per_pixel = 3;         // of the decoded picture: 3, or 1 when quantized
  std::int64_t file_bytes = 0;     // the file, held while it decodes
  std::int64_t decoder_bytes = 0;  // libjpeg's whole-picture buffers, freed at the end
  std::int64_t picture_bytes() const { return width * height * bytes_per_pixel; }
};

// Peak bytes of a conversion that decodes the whole picture: the decoding,
// then the upright turn (two pictures), then the expansion to 24 bits of a
// quantized picture (1 + 3 B/px), the file held throughout.
std::int64_t ConversionNeed(const DecodeCost& cost, bool turned);

// Peak bytes of one picture put on the clipboard: the decoding, then the
// picture and two 24-bit pictures (see above).
std::int64_t ClipboardNeed(const DecodeCost& cost);

// Throws LimitError when a w x h picture needs more than the budget.
void CheckMemoryNeed(std::int64_t width, std::int64_t height, std::int64_t bytes);

// The error the user sees for a refused file: the file named, then why.
Error NamingFile(const std::string& path, const LimitError& refusal);

}  // namespace tam
