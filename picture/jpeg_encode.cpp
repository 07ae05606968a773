// SPDX-License-Identifier: MIT
// The encoder of picture/jpeg.h.
#include <jerror.h>

#include <algorithm>
#include <cstddef>
#include <new>
#include <vector>

#include "picture/error.h"
#include "picture/jpeg.h"
#include "picture/jpeg_error.h"

namespace tam {

using namespace jpeg_detail;

namespace {

// The encoder's output grows in a vector the writer owns, so a writer
// abandoned half-way (an error, or its caller giving up) frees it like any
// other member. (jpeg_mem_dest hands its buffer over only when compression
// ends; until then the pointer it was given goes stale once the buffer grows.)
struct VectorDestination {
  jpeg_destination_mgr pub;
  std::vector<std::uint8_t> data;
};

VectorDestination* Destination(j_compress_ptr cinfo) {
  return reinterpret_cast<VectorDestination*>(cinfo->dest);
}

void StartOutput(j_compress_ptr cinfo) {
  VectorDestination* dest = Destination(cinfo);
  // libjpeg's own error exit jumps: never from inside a catch block.
  bool grown = true;
  try {
    dest->data.resize(64 * 1024);
  } catch (const std::bad_alloc&) {
    grown = false;
  }
  if (!grown) ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 10);
  dest->pub.next_output_byte = dest->data.data();
  dest->pub.free_in_buffer = dest->data.size();
}

boolean GrowOutput(j_compress_ptr cinfo) {
  VectorDestination* dest = Destination(cinfo);
  // Called when the buffer is full, whatever free_in_buffer says.
  const std::size_t used = dest->data.size();
  bool grown = true;
  try {
    dest->data.resize(used * 2);
  } catch (const std::bad_alloc&) {
    grown = false;
  }
  if (!grown) ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 10);
  dest->pub.next_output_byte = dest->data.data() + used;
  dest->pub.free_in_buffer = dest->data.size() - used;
  return TRUE;
}

void EndOutput(j_compress_ptr cinfo) {
  VectorDestination* dest = Destination(cinfo);
  dest->data.resize(dest->data.size() - dest->pub.free_in_buffer);
}

bool GuardedOpenEncoder(j_compress_ptr cinfo, VectorDestination* dest, JDIMENSION width, JDIMENSION height,
                        int quality, bool progressive) {
  if (setjmp(Manager(reinterpret_cast<j_common_ptr>(cinfo))->jump)) {
    jpeg_destroy_compress(cinfo);
    return false;
  }
  jpeg_create_compress(cinfo);
  dest->pub.init_destination = StartOutput;
  dest->pub.empty_output_buffer = GrowOutput;
  dest->pub.term_destination = EndOutput;
  cinfo->dest = &dest->pub;
  cinfo->image_width = width;
  cinfo->image_height = height;
  cinfo->input_components = 3;
  // Our rows are blue, green, red: the encoder takes them as they are.
  cinfo->in_color_space = JCS_EXT_BGR;
  jpeg_set_defaults(cinfo);
  jpeg_set_quality(cinfo, quality, TRUE);
  if (progressive) jpeg_simple_progression(cinfo);
  jpeg_start_compress(cinfo, TRUE);
  return true;
}

bool GuardedWrite(j_compress_ptr cinfo, JSAMPARRAY rows, JDIMENSION count) {
  if (setjmp(Manager(reinterpret_cast<j_common_ptr>(cinfo))->jump)) {
    jpeg_destroy_compress(cinfo);
    return false;
  }
  jpeg_write_scanlines(cinfo, rows, count);
  return true;
}

bool GuardedFinishEncoder(j_compress_ptr cinfo) {
  if (setjmp(Manager(reinterpret_cast<j_common_ptr>(cinfo))->jump)) {
    jpeg_destroy_compress(cinfo);
    return false;
  }
  jpeg_finish_compress(cinfo);
  return true;
}

}  // namespace

struct JpegWriter::State {
  jpeg_compress_struct cinfo{};
  ErrorManager err{};
  bool alive = false;
  VectorDestination dest{};

  State() {
    InstallErrorManager(err);
    cinfo.err = &err.pub;
  }
  ~State() {
    if (alive) jpeg_destroy_compress(&cinfo);
  }
  [[noreturn]] void Fail() {
    alive = false;
    throw JpegError(err.pub.msg_code);
  }
};

JpegWriter::JpegWriter(std::int32_t width, std::int32_t height, int quality, bool progressive)
    : state_(std::make_unique<State>()) {
  State& s = *state_;
  if (width < 0 || height < 0) throw Error("画像の大きさが不正です");
  s.alive = true;
  if (!GuardedOpenEncoder(&s.cinfo, &s.dest, static_cast<JDIMENSION>(width), static_cast<JDIMENSION>(height),
                          quality, progressive)) {
    s.Fail();
  }
}

JpegWriter::~JpegWriter() = default;
JpegWriter::JpegWriter(JpegWriter&&) noexcept = default;
JpegWriter& JpegWriter::operator=(JpegWriter&&) noexcept = default;

void JpegWriter::WriteRows(const std::uint8_t* const* bgr_rows, int count) {
  State& s = *state_;
  for (int done = 0; done < count;) {
    const int n = std::min(count - done, kBatchRows);
    JSAMPROW batch[kBatchRows];
    // The encoder only reads its input rows.
    for (int i = 0; i < n; ++i) batch[i] = const_cast<JSAMPROW>(bgr_rows[done + i]);
    if (!GuardedWrite(&s.cinfo, batch, static_cast<JDIMENSION>(n))) s.Fail();
    done += n;
  }
}

std::vector<std::uint8_t> JpegWriter::Finish() {
  State& s = *state_;
  if (!GuardedFinishEncoder(&s.cinfo)) s.Fail();
  std::vector<std::uint8_t> out = std::move(s.dest.data);
  jpeg_destroy_compress(&s.cinfo);
  s.alive = false;
  return out;
}

std::vector<std::uint8_t> EncodeJpeg(const Picture& picture, int quality, bool progressive) {
  if (picture.empty()) return {};
  JpegWriter writer(picture.width(), picture.height(), quality, progressive);
  const std::int32_t height = picture.height();
  const std::uint8_t* rows[kBatchRows];
  if (picture.format() == PixelFormat::Bgr24) {
    for (std::int32_t y = 0; y < height; y += kBatchRows) {
      const int n = static_cast<int>(std::min<std::int32_t>(kBatchRows, height - y));
      for (int i = 0; i < n; ++i) rows[i] = picture.row(y + i);
      writer.WriteRows(rows, n);
    }
    return writer.Finish();
  }
  // A palette picture is expanded a row at a time.
  const PaletteLookup palette(picture.palette());
  std::vector<std::uint8_t> row(static_cast<std::size_t>(picture.width()) * 3);
  for (std::int32_t y = 0; y < height; ++y) {
    palette.Expand(picture.row(y), static_cast<std::size_t>(picture.width()), row.data());
    rows[0] = row.data();
    writer.WriteRows(rows, 1);
  }
  return writer.Finish();
}

}  // namespace tam
