// SPDX-License-Identifier: MIT
#include "picture/jpeg.h"

#include <jerror.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <string>

#include "picture/error.h"
#include "picture/jpeg_error.h"
#include "picture/limits.h"

namespace tam {

namespace jpeg_detail {

namespace {

[[noreturn]] void JumpOnError(j_common_ptr cinfo) { std::longjmp(Manager(cinfo)->jump, 1); }

// Warnings (recoverable damage) are still counted by libjpeg, never printed.
void Quiet(j_common_ptr) {}

// A warning is an error where the caller said so: the data ended early
// (libjpeg then makes up the rest).
void OnMessage(j_common_ptr cinfo, int level) {
  ErrorManager* err = Manager(cinfo);
  if (level < 0 && err->cut_short_is_error && err->pub.msg_code == JWRN_JPEG_EOF) err->pub.error_exit(cinfo);
  err->count_warning(cinfo, level);
}

}  // namespace

void InstallErrorManager(ErrorManager& err) {
  jpeg_std_error(&err.pub);
  err.pub.error_exit = JumpOnError;
  err.pub.output_message = Quiet;
  err.count_warning = err.pub.emit_message;
  err.pub.emit_message = OnMessage;
}

Error JpegError(int code) { return Error("JPEG エラー #" + std::to_string(code)); }

}  // namespace jpeg_detail

using namespace jpeg_detail;

namespace {

// Every scan of a progressive file passes over all its blocks again, so a
// file of many tiny scans costs minutes; libjpeg calls this between scans
// and rows, and the error ends the decoding at the first scan too many.
void CountScans(j_common_ptr cinfo) {
  if (cinfo->is_decompressor && reinterpret_cast<j_decompress_ptr>(cinfo)->input_scan_number > kMostScans) {
    Manager(cinfo)->too_many_scans = true;
    cinfo->err->error_exit(cinfo);
  }
}

// ---- decoder ----

struct HeaderFacts {
  bool multiple_scans;
};

bool GuardedOpen(j_decompress_ptr cinfo, const std::uint8_t* data, std::size_t size, HeaderFacts* facts) {
  if (setjmp(Manager(reinterpret_cast<j_common_ptr>(cinfo))->jump)) {
    jpeg_destroy_decompress(cinfo);
    return false;
  }
  jpeg_create_decompress(cinfo);
  // libjpeg's own limit for its whole-picture buffers, in case the sizes
  // checked before they are made ever fall short of what it takes.
  cinfo->mem->max_memory_to_use = static_cast<long>(kMemoryBudget - static_cast<std::int64_t>(size));
  jpeg_mem_src(cinfo, data, static_cast<unsigned long>(size));
  jpeg_read_header(cinfo, TRUE);
  facts->multiple_scans = jpeg_has_multiple_scans(cinfo);
  return true;
}

bool GuardedConfigure(j_decompress_ptr cinfo, J_COLOR_SPACE out_color_space, bool quantize) {
  if (setjmp(Manager(reinterpret_cast<j_common_ptr>(cinfo))->jump)) {
    jpeg_destroy_decompress(cinfo);
    return false;
  }
  cinfo->scale_num = 1;
  cinfo->scale_denom = 1;
  cinfo->do_block_smoothing = TRUE;
  cinfo->out_color_space = out_color_space;
  if (quantize) {
    cinfo->quantize_colors = TRUE;
    cinfo->desired_number_of_colors = 236;
  }
  jpeg_calc_output_dimensions(cinfo);
  return true;
}

bool GuardedStart(j_decompress_ptr cinfo) {
  if (setjmp(Manager(reinterpret_cast<j_common_ptr>(cinfo))->jump)) {
    jpeg_destroy_decompress(cinfo);
    return false;
  }
  jpeg_start_decompress(cinfo);
  return true;
}

bool GuardedRead(j_decompress_ptr cinfo, JSAMPARRAY rows, JDIMENSION count, JDIMENSION* got) {
  if (setjmp(Manager(reinterpret_cast<j_common_ptr>(cinfo))->jump)) {
    jpeg_destroy_decompress(cinfo);
    return false;
  }
  *got = jpeg_read_scanlines(cinfo, rows, count);
  return true;
}

bool GuardedReadRaw(j_decompress_ptr cinfo, JSAMPIMAGE planes, JDIMENSION rows, JDIMENSION* got) {
  if (setjmp(Manager(reinterpret_cast<j_common_ptr>(cinfo))->jump)) {
    jpeg_destroy_decompress(cinfo);
    return false;
  }
  *got = jpeg_read_raw_data(cinfo, planes, rows);
  return true;
}

bool GuardedFinish(j_decompress_ptr cinfo) {
  if (setjmp(Manager(reinterpret_cast<j_common_ptr>(cinfo))->jump)) {
    jpeg_destroy_decompress(cinfo);
    return false;
  }
  jpeg_finish_decompress(cinfo);
  return true;
}

// How CMYK rows from libjpeg become blue, green, red.
enum class CmykForm {
  kNone,      // libjpeg hands out the final colours
  kInverted,  // Adobe's form: 255 means no ink
  kPlain,     // 255 means full ink
};

std::uint8_t Times(int a, int b) { return static_cast<std::uint8_t>((a * b + 127) / 255); }

void CmykToBgr(const std::uint8_t* cmyk, std::uint8_t* bgr, std::int32_t width, CmykForm form) {
  for (std::int32_t x = 0; x < width; ++x, cmyk += 4, bgr += 3) {
    int c = cmyk[0], m = cmyk[1], y = cmyk[2], k = cmyk[3];
    if (form == CmykForm::kPlain) {
      c = 255 - c;
      m = 255 - m;
      y = 255 - y;
      k = 255 - k;
    }
    bgr[0] = Times(y, k);
    bgr[1] = Times(m, k);
    bgr[2] = Times(c, k);
  }
}

}  // namespace

struct JpegReader::State {
  jpeg_decompress_struct cinfo{};
  ErrorManager err{};
  jpeg_progress_mgr progress{};
  std::int64_t file_bytes = 0;
  bool alive = false;  // cinfo owns libjpeg memory
  bool started = false;
  bool multiple_scans = false;
  bool quantize = false;
  JpegReader::PlaneLayout layout{};  // when raw_data_out hands out the planes
  CmykForm cmyk = CmykForm::kNone;
  std::vector<std::uint8_t> scratch;  // CMYK rows before conversion
  std::vector<Bgr> palette;

  State() {
    InstallErrorManager(err);
    cinfo.err = &err.pub;
    progress.progress_monitor = CountScans;
  }
  ~State() {
    if (alive) jpeg_destroy_decompress(&cinfo);
  }
  // Called after a guarded function failed: it has destroyed cinfo already.
  [[noreturn]] void Fail() {
    alive = false;
    if (err.too_many_scans) {
      throw LimitError("JPEG のスキャンが多すぎます (上限 " + std::to_string(kMostScans) + ")");
    }
    throw JpegError(err.pub.msg_code);
  }
};

JpegReader::JpegReader(std::span<const std::uint8_t> file, const JpegDecodeOptions& options)
    : state_(std::make_unique<State>()) {
  State& s = *state_;
  HeaderFacts facts{};
  s.file_bytes = static_cast<std::int64_t>(file.size());
  if (s.file_bytes > kLargestFile) {
    throw LimitError("ファイルが大きすぎます (上限 " + std::to_string(kLargestFile >> 20) + " MiB)");
  }
  s.err.cut_short_is_error = options.cut_short_is_error;
  s.alive = true;
  if (!GuardedOpen(&s.cinfo, file.data(), file.size(), &facts)) s.Fail();
  s.cinfo.progress = &s.progress;
  s.multiple_scans = facts.multiple_scans;

  // libjpeg's choice stands, except that colour comes straight out in blue,
  // green, red (same samples, other order) and CMYK is converted here:
  // libjpeg turns YCCK into CMYK but neither into RGB.
  J_COLOR_SPACE out = s.cinfo.out_color_space;
  switch (out) {
    case JCS_GRAYSCALE:
      s.quantize = true;
      break;
    case JCS_RGB:
      // The colour quantizer weighs its channels as red, green, blue.
      if (options.low_colour_display) {
        s.quantize = true;
      } else {
        out = JCS_EXT_BGR;
      }
      break;
    case JCS_CMYK:
      // Adobe's APP14 marks the inverted form Photoshop writes (its YCCK
      // decodes to that form too); CMYK without it is taken as plain ink.
      s.cmyk = s.cinfo.saw_Adobe_marker ? CmykForm::kInverted : CmykForm::kPlain;
      break;
    default:
      // Two or five components and the like: no colour picture can be made;
      // asking for RGB lets libjpeg refuse with its own error.
      out = JCS_RGB;
      break;
  }
  if (!GuardedConfigure(&s.cinfo, out, s.quantize)) s.Fail();

  // Refuse before libjpeg allocates buffers beyond the budget; what the
  // caller makes of the rows is the caller's to check (cost()).
  CheckPictureSize(width(), height(), 0);
  CheckMemoryNeed(width(), height(), s.file_bytes + decoder_buffer_bytes());
}

JpegReader::~JpegReader() = default;
JpegReader::JpegReader(JpegReader&&) noexcept = default;
JpegReader& JpegReader::operator=(JpegReader&&) noexcept = default;

std::int32_t JpegReader::width() const { return static_cast<std::int32_t>(state_->cinfo.output_width); }
std::int32_t JpegReader::height() const { return static_cast<std::int32_t>(state_->cinfo.output_height); }
bool JpegReader::multiple_scans() const { return state_->multiple_scans; }
bool JpegReader::quantized() const { return state_->quantize; }
const std::vector<Bgr>& JpegReader::palette() const { return state_->palette; }
std::int32_t JpegReader::next_row() const { return static_cast<std::int32_t>(state_->cinfo.output_scanline); }

std::int64_t JpegReader::decoder_buffer_bytes() const {
  const jpeg_decompress_struct& c = state_->cinfo;
  std::int64_t bytes = 0;
  if (state_->multiple_scans) {
    // All scans are gathered as DCT coefficients (2 bytes each) first.
    for (int i = 0; i < c.num_components; ++i) {
      const jpeg_component_info& comp = c.comp_info[i];
      const std::int64_t h = comp.h_samp_factor > 0 ? comp.h_samp_factor : 1;
      const std::int64_t v = comp.v_samp_factor > 0 ? comp.v_samp_factor : 1;
      const std::int64_t across = (comp.width_in_blocks + h - 1) / h * h;
      const std::int64_t down = (comp.height_in_blocks + v - 1) / v * v;
      bytes += across * down * 64 * 2;
    }
  }
  if (c.quantize_colors && c.two_pass_quantize && c.out_color_components == 3) {
    // The first pass keeps the whole colour picture for the second.
    bytes += std::int64_t{c.output_width} * c.output_height * 3;
  }
  return bytes;
}

DecodeCost JpegReader::cost() const {
  return {width(), height(), bytes_per_pixel(), state_->file_bytes, decoder_buffer_bytes()};
}

void JpegReader::Start() {
  State& s = *state_;
  if (s.started) return;
  if (!GuardedStart(&s.cinfo)) s.Fail();
  s.started = true;
  if (s.quantize) {
    const int colours = s.cinfo.actual_number_of_colors;
    JSAMPARRAY map = s.cinfo.colormap;
    s.palette.resize(static_cast<std::size_t>(colours));
    for (int i = 0; i < colours; ++i) {
      if (s.cinfo.out_color_components == 1) {
        s.palette[i] = {map[0][i], map[0][i], map[0][i]};
      } else {
        s.palette[i] = {map[2][i], map[1][i], map[0][i]};
      }
    }
  }
  if (s.cmyk != CmykForm::kNone) {
    s.scratch.resize(static_cast<std::size_t>(s.cinfo.output_width) * 4 * kBatchRows);
  }
}

int JpegReader::ReadRows(std::uint8_t* const* rows, int count) {
  State& s = *state_;
  Start();
  int done = 0;
  while (done < count && s.cinfo.output_scanline < s.cinfo.output_height) {
    JSAMPROW batch[kBatchRows];
    const int want = std::min(count - done, kBatchRows);
    for (int i = 0; i < want; ++i) {
      batch[i] = s.cmyk == CmykForm::kNone ? rows[done + i]
                                           : s.scratch.data() + std::size_t{s.cinfo.output_width} * 4 * i;
    }
    JDIMENSION got = 0;
    if (!GuardedRead(&s.cinfo, batch, static_cast<JDIMENSION>(want), &got)) s.Fail();
    // The memory source never suspends; no progress would mean a broken stream.
    if (got == 0) {
      jpeg_destroy_decompress(&s.cinfo);
      s.alive = false;
      throw JpegError(JERR_INPUT_EOF);
    }
    if (s.cmyk != CmykForm::kNone) {
      for (JDIMENSION i = 0; i < got; ++i) {
        CmykToBgr(batch[i], rows[done + static_cast<int>(i)], width(), s.cmyk);
      }
    }
    done += static_cast<int>(got);
  }
  return done;
}

void JpegReader::Finish() {
  State& s = *state_;
  Start();
  if (!GuardedFinish(&s.cinfo)) s.Fail();
}

bool JpegReader::HandOutPlanes() {
  State& s = *state_;
  jpeg_decompress_struct& c = s.cinfo;
  if (s.started || s.quantize || s.cmyk != CmykForm::kNone || c.out_color_space != JCS_EXT_BGR ||
      c.jpeg_color_space != JCS_YCbCr || c.num_components != 3 || c.CCIR601_sampling ||
      c.output_width != c.image_width || c.output_height != c.image_height || !c.do_fancy_upsampling) {
    return false;
  }
  const jpeg_component_info& y = c.comp_info[0];
  const jpeg_component_info& cb = c.comp_info[1];
  const jpeg_component_info& cr = c.comp_info[2];
  if (cb.h_samp_factor != 1 || cb.v_samp_factor != 1 || cr.h_samp_factor != 1 || cr.v_samp_factor != 1 ||
      y.h_samp_factor != c.max_h_samp_factor || y.v_samp_factor != c.max_v_samp_factor ||
      cb.downsampled_width != cr.downsampled_width || cb.downsampled_height != cr.downsampled_height) {
    return false;
  }
  ChromaSampling sampling;
  if (y.h_samp_factor == 1 && y.v_samp_factor == 1) {
    sampling = ChromaSampling::kFull;
  } else if (y.h_samp_factor == 2 && y.v_samp_factor == 1 && cb.downsampled_width > 2) {
    sampling = ChromaSampling::kHalfAcross;
  } else if (y.h_samp_factor == 2 && y.v_samp_factor == 2 && cb.downsampled_width > 2) {
    sampling = ChromaSampling::kHalfBoth;
  } else {
    return false;  // libjpeg upsamples these without smoothing, or in ways YccToBgr does not
  }
  s.layout.sampling = sampling;
  s.layout.group_rows = y.v_samp_factor * DCTSIZE;
  s.layout.chroma_group_rows = DCTSIZE;
  s.layout.stride = std::size_t{y.width_in_blocks} * DCTSIZE;
  s.layout.chroma_stride = std::size_t{cb.width_in_blocks} * DCTSIZE;
  s.layout.chroma_width = static_cast<std::int32_t>(cb.downsampled_width);
  s.layout.chroma_height = static_cast<std::int32_t>(cb.downsampled_height);
  s.layout.groups =
      static_cast<std::int32_t>((c.output_height + s.layout.group_rows - 1) / s.layout.group_rows);
  c.raw_data_out = TRUE;
  return true;
}

const JpegReader::PlaneLayout& JpegReader::plane_layout() const { return state_->layout; }

void JpegReader::ReadPlanes(std::uint8_t* const* y, std::uint8_t* const* cb, std::uint8_t* const* cr) {
  State& s = *state_;
  Start();
  JSAMPARRAY planes[3] = {const_cast<JSAMPARRAY>(y), const_cast<JSAMPARRAY>(cb), const_cast<JSAMPARRAY>(cr)};
  JDIMENSION got = 0;
  if (!GuardedReadRaw(&s.cinfo, planes, static_cast<JDIMENSION>(s.layout.group_rows), &got)) s.Fail();
  if (got == 0) {
    jpeg_destroy_decompress(&s.cinfo);
    s.alive = false;
    throw JpegError(JERR_INPUT_EOF);
  }
}

DecodedJpeg DecodeJpeg(std::span<const std::uint8_t> file, const JpegDecodeOptions& options) {
  JpegReader reader(file, options);
  const DecodeCost cost = reader.cost();
  CheckMemoryNeed(cost.width, cost.height, cost.file_bytes + cost.decoder_bytes + cost.picture_bytes());
  return DecodeJpeg(reader);
}

DecodedJpeg DecodeJpeg(JpegReader& reader) {
  reader.Start();
  DecodedJpeg out;
  out.multiple_scans = reader.multiple_scans();
  out.picture = reader.quantized() ? Picture::Indexed8(reader.width(), reader.height(), reader.palette())
                                   : Picture::Bgr24(reader.width(), reader.height());
  std::uint8_t* rows[kBatchRows];
  while (reader.next_row() < reader.height()) {
    const std::int32_t first = reader.next_row();
    const int count = static_cast<int>(std::min<std::int32_t>(kBatchRows, reader.height() - first));
    for (int i = 0; i < count; ++i) rows[i] = out.picture.row(first + i);
    reader.ReadRows(rows, count);
  }
  reader.Finish();
  return out;
}

int CountJpegScans(std::span<const std::uint8_t> file, int stop_after) {
  const std::size_t n = file.size();
  int scans = 0;
  std::size_t i = 0;
  while (scans <= stop_after) {
    while (i < n && file[i] != 0xFF) ++i;  // entropy-coded data, or junk
    while (i < n && file[i] == 0xFF) ++i;  // fill bytes
    if (i >= n) break;
    const std::uint8_t marker = file[i++];
    // Stuffed zeros, restart markers and the ones without a length stand alone.
    if (marker == 0x00 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) continue;
    if (marker == 0xD9) break;
    if (n - i < 2) break;
    const std::size_t length = std::size_t{file[i]} << 8 | file[i + 1];
    if (marker == 0xDA) ++scans;
    i += std::max<std::size_t>(length, 2);
  }
  return scans;
}

}  // namespace tam
