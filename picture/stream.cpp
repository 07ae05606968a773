// SPDX-License-Identifier: MIT
#include "picture/stream.h"

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <cstdlib>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>

#include "picture/error.h"
#include "picture/fastreduce.h"
#include "picture/joined_thread.h"
#include "picture/jpeg_header.h"
#include "picture/reduce.h"
#include "picture/ycc.h"

namespace tam {
namespace {

// Rows the decoder hands over at a time, and the encoder takes.
constexpr int kBatch = 16;

// The decoded rows between the two threads: row r lives in slot r % capacity
// until the consumer releases it. The producer writes only slots of rows not
// yet published, the consumer reads only published rows not yet released, so
// the rows themselves need no lock; the counters do. A thread that has to
// wait asks for a good stretch (`slack` rows) before it is woken, so the two
// threads hand over in a few large steps rather than row by row. A "row" may
// be a group of rows (the planes of one decoding step).
class RowRing {
 public:
  static constexpr int kSlack = 2 * kBatch;

  // capacity: at least the most rows the consumer holds at once + 2 * slack.
  // The rows start as zeros from the allocator, their pages untouched: the
  // decoder can start at once.
  RowRing(int capacity, std::size_t row_bytes, std::int32_t height, int slack = kSlack)
      : capacity_(capacity),
        slack_(slack),
        height_(height),
        row_bytes_(row_bytes),
        storage_(static_cast<std::uint8_t*>(std::calloc(static_cast<std::size_t>(capacity), row_bytes))) {
    if (!storage_) throw std::bad_alloc();
  }

  std::uint8_t* slot(std::int32_t row) {
    return storage_.get() + static_cast<std::size_t>(row % capacity_) * row_bytes_;
  }

  // Producer: returns how many rows (at most want) may be written from row
  // `next` on, waiting while the ring is full; 0 once cancelled.
  int WaitForSpace(std::int32_t next, int want) {
    std::unique_lock lock(mutex_);
    if (!cancelled_ && next - released_ >= capacity_) {
      space_wanted_ = next - capacity_ + slack_;
      space_.wait(lock, [&] { return cancelled_ || released_ >= space_wanted_; });
      space_wanted_ = kNobody;
    }
    if (cancelled_) return 0;
    return std::min(want, capacity_ - (next - released_));
  }
  void Publish(std::int32_t rows) {
    bool wake;
    {
      std::lock_guard lock(mutex_);
      published_ = rows;
      wake = published_ >= rows_wanted_;
    }
    if (wake) rows_.notify_one();
  }
  // Producer: the stream is read to its end, or failed.
  void Close(std::exception_ptr error) {
    {
      std::lock_guard lock(mutex_);
      closed_ = true;
      error_ = std::move(error);
    }
    rows_.notify_one();
  }

  // Consumer: waits until rows [0, rows) are published; rethrows the
  // producer's error.
  void WaitForRows(std::int32_t rows) {
    if (rows <= seen_) return;
    std::unique_lock lock(mutex_);
    if (published_ < rows && !closed_) {
      rows_wanted_ = std::min(rows + slack_, height_);
      rows_.wait(lock, [&] { return published_ >= rows_wanted_ || closed_; });
      rows_wanted_ = kNobody;
    }
    if (error_) std::rethrow_exception(error_);
    // Never: the reader throws when the stream gives no more rows.
    if (published_ < rows) throw Error("JPEG エラー: 行が足りません");
    seen_ = published_;
  }
  // Consumer: rows below `rows` are no longer needed.
  void Release(std::int32_t rows) {
    bool wake;
    {
      std::lock_guard lock(mutex_);
      released_ = rows;
      wake = released_ >= space_wanted_;
    }
    if (wake) space_.notify_one();
  }
  // Consumer: waits for the producer's end and rethrows its error.
  void WaitForEnd() {
    std::unique_lock lock(mutex_);
    rows_.wait(lock, [&] { return closed_; });
    if (error_) std::rethrow_exception(error_);
  }
  void Cancel() {
    {
      std::lock_guard lock(mutex_);
      cancelled_ = true;
    }
    space_.notify_one();
  }

 private:
  static constexpr std::int32_t kNobody = std::numeric_limits<std::int32_t>::max();

  const int capacity_;
  const int slack_;
  const std::int32_t height_;
  const std::size_t row_bytes_;
  struct Free {
    void operator()(std::uint8_t* p) const { std::free(p); }
  };
  std::unique_ptr<std::uint8_t, Free> storage_;
  std::mutex mutex_;
  std::condition_variable rows_;   // the consumer waits here for rows
  std::condition_variable space_;  // the producer waits here for free slots
  std::int32_t published_ = 0;
  std::int32_t released_ = 0;
  std::int32_t rows_wanted_ = kNobody;   // the waiting consumer wakes at this many rows
  std::int32_t space_wanted_ = kNobody;  // the waiting producer wakes at this many released
  std::int32_t seen_ = 0;                // published rows the consumer knows of (its own)
  bool closed_ = false;
  bool cancelled_ = false;
  std::exception_ptr error_;
};

// The decoder's side: every row into the ring as blue, green, red (a
// quantized row is expanded through the colour map), then the rest of the
// stream.
void Produce(JpegReader& reader, RowRing& ring) {
  try {
    reader.Start();
    const std::int32_t width = reader.width();
    const std::int32_t height = reader.height();
    const bool quantized = reader.quantized();
    const PaletteLookup palette(reader.palette());  // empty unless quantized
    std::vector<std::uint8_t> indices;
    if (quantized) indices.resize(static_cast<std::size_t>(width) * kBatch);
    std::uint8_t* rows[kBatch];
    for (std::int32_t next = 0; next < height;) {
      const int want = static_cast<int>(std::min<std::int32_t>(kBatch, height - next));
      const int count = ring.WaitForSpace(next, want);
      if (count == 0) break;  // the consumer gave up
      for (int i = 0; i < count; ++i) {
        rows[i] = quantized ? indices.data() + static_cast<std::size_t>(width) * i : ring.slot(next + i);
      }
      const int got = reader.ReadRows(rows, count);
      if (quantized) {
        for (int i = 0; i < got; ++i)
          palette.Expand(rows[i], static_cast<std::size_t>(width), ring.slot(next + i));
      }
      next += got;
      ring.Publish(next);
    }
    if (reader.next_row() == height) reader.Finish();
    ring.Close(nullptr);
  } catch (...) {
    ring.Close(std::current_exception());
  }
}

// The decoder's side when it hands out planes: a group of rows at a time,
// the brightness rows then the two colour-difference planes', into a slot.
void ProducePlanes(JpegReader& reader, RowRing& ring) {
  try {
    reader.Start();
    const JpegReader::PlaneLayout& layout = reader.plane_layout();
    std::vector<std::uint8_t*> y(static_cast<std::size_t>(layout.group_rows));
    std::vector<std::uint8_t*> cb(static_cast<std::size_t>(layout.chroma_group_rows));
    std::vector<std::uint8_t*> cr(cb.size());
    for (std::int32_t group = 0; group < layout.groups; ++group) {
      if (ring.WaitForSpace(group, 1) == 0) break;  // the consumer gave up
      std::uint8_t* slot = ring.slot(group);
      for (std::size_t i = 0; i < y.size(); ++i) y[i] = slot + i * layout.stride;
      std::uint8_t* chroma = slot + y.size() * layout.stride;
      for (std::size_t i = 0; i < cb.size(); ++i) {
        cb[i] = chroma + i * layout.chroma_stride;
        cr[i] = chroma + (cb.size() + i) * layout.chroma_stride;
      }
      reader.ReadPlanes(y.data(), cb.data(), cr.data());
      ring.Publish(group + 1);
    }
    if (reader.next_row() >= reader.height()) reader.Finish();
    ring.Close(nullptr);
  } catch (...) {
    ring.Close(std::current_exception());
  }
}

std::size_t GroupBytes(const JpegReader::PlaneLayout& layout) {
  return static_cast<std::size_t>(layout.group_rows) * layout.stride +
         2 * static_cast<std::size_t>(layout.chroma_group_rows) * layout.chroma_stride;
}

// A source that already fits its box: its rows go to the encoder as they are.
void CopyRows(RowRing& ring, std::int32_t height, JpegWriter& writer) {
  const std::uint8_t* rows[kBatch];
  for (std::int32_t y = 0; y < height;) {
    const int count = static_cast<int>(std::min<std::int32_t>(kBatch, height - y));
    ring.WaitForRows(y + count);
    for (int i = 0; i < count; ++i) rows[i] = ring.slot(y + i);
    writer.WriteRows(rows, count);
    y += count;
    ring.Release(y);
  }
}

// The rows this thread makes itself from planes, blue, green,
// red: a row stays until `capacity` newer rows are made.
class MadeRows {
 public:
  MadeRows(std::int32_t width, int capacity)
      : capacity_(capacity),
        row_bytes_(static_cast<std::size_t>(width) * 3),
        rows_(static_cast<std::size_t>(capacity) * row_bytes_) {}
  std::uint8_t* Slot(std::int32_t i) {
    return rows_.data() + static_cast<std::size_t>(i % capacity_) * row_bytes_;
  }

 private:
  const int capacity_;
  const std::size_t row_bytes_;
  std::vector<std::uint8_t> rows_;
};

// Source rows straight from the ring.
class RingRows {
 public:
  explicit RingRows(RowRing& ring) : ring_(ring) {}
  void Need(std::int32_t last) { ring_.WaitForRows(last + 1); }
  const std::uint8_t* Row(std::int32_t i) { return ring_.slot(i); }
  // Rows below `first` are no longer needed.
  void Done(std::int32_t first) { ring_.Release(first); }

 private:
  RowRing& ring_;
};

// Source rows made on this thread from the groups of planes in the ring, as
// the filter comes to them, into rows of its own.
class RowsFromPlanes {
 public:
  RowsFromPlanes(RowRing& ring, const JpegReader::PlaneLayout& layout, std::int32_t width,
                 std::int32_t height, int capacity)
      : ring_(ring),
        layout_(layout),
        height_(height),
        rows_(width, capacity),
        convert_(layout.sampling, width, layout.chroma_width) {}

  void Need(std::int32_t last) {
    for (; made_ <= last; ++made_) Make(made_);
  }
  const std::uint8_t* Row(std::int32_t i) { return rows_.Slot(i); }
  void Done(std::int32_t first) {
    if (first >= height_) ring_.Release(layout_.groups);
  }

 private:
  const std::uint8_t* Luma(std::int32_t row) {
    const std::int32_t group = row / layout_.group_rows;
    return ring_.slot(group) + static_cast<std::size_t>(row - group * layout_.group_rows) * layout_.stride;
  }
  // Colour-difference row `row` of plane 0 (blue) or 1 (red).
  const std::uint8_t* Chroma(std::int32_t row, int plane) {
    const std::int32_t group = row / layout_.chroma_group_rows;
    const std::size_t index = static_cast<std::size_t>(plane * layout_.chroma_group_rows) +
                              static_cast<std::size_t>(row - group * layout_.chroma_group_rows);
    return ring_.slot(group) + static_cast<std::size_t>(layout_.group_rows) * layout_.stride +
           index * layout_.chroma_stride;
  }
  void Make(std::int32_t row) {
    const ChromaRows chroma = ChromaRowsFor(layout_.sampling, row, layout_.chroma_height);
    const std::int32_t last_group =
        std::max(row / layout_.group_rows, chroma.far / layout_.chroma_group_rows);
    ring_.WaitForRows(last_group + 1);
    convert_.Row(Luma(row), Chroma(chroma.near, 0), Chroma(chroma.near, 1), Chroma(chroma.far, 0),
                 Chroma(chroma.far, 1), rows_.Slot(row));
    // The groups the next row can reach back to stay; those below go.
    const ChromaRows next = ChromaRowsFor(layout_.sampling, row + 1, layout_.chroma_height);
    const std::int32_t keep =
        std::min((row + 1) / layout_.group_rows, std::min(next.near, next.far) / layout_.chroma_group_rows);
    if (keep > released_) {
      released_ = keep;
      ring_.Release(keep);
    }
  }

  RowRing& ring_;
  const JpegReader::PlaneLayout& layout_;
  const std::int32_t height_;
  MadeRows rows_;
  YccToBgr convert_;
  std::int32_t made_ = 0;
  std::int32_t released_ = 0;
};

// Each destination row as soon as its source rows are in, a batch of them at
// a time into the encoder.
template <typename Source>
void ReduceRows(Source& source, const ReducePlan& plan, JpegWriter& writer) {
  FastRowFilter filter(plan);
  // Indexed by source row; only the rows of the current destination row are set.
  std::vector<const std::uint8_t*> source_rows(static_cast<std::size_t>(plan.source_height()));
  const std::size_t stride = static_cast<std::size_t>(plan.width()) * 3;
  std::vector<std::uint8_t> out(stride * kBatch);
  const std::uint8_t* out_rows[kBatch];
  int pending = 0;
  for (std::int32_t y = 0; y < plan.height(); ++y) {
    const std::int32_t first = plan.FirstSourceRow(y);
    const std::int32_t last = plan.LastSourceRow(y);
    source.Need(last);
    for (std::int32_t i = first; i <= last; ++i) source_rows[static_cast<std::size_t>(i)] = source.Row(i);
    std::uint8_t* row = out.data() + stride * static_cast<std::size_t>(pending);
    if (kFastFilter) {
      filter.FilterRow(y, source_rows.data(), row);
    } else {
      plan.FilterRows(y, y + 1, source_rows.data(), row, stride);
    }
    out_rows[pending++] = row;
    // Rows the next destination row starts below are done with.
    source.Done(y + 1 < plan.height() ? plan.FirstSourceRow(y + 1) : plan.source_height());
    if (pending == kBatch || y + 1 == plan.height()) {
      writer.WriteRows(out_rows, pending);
      pending = 0;
    }
  }
}

}  // namespace

bool CanStreamJpeg(const JpegHeader& header) { return kStreamJpeg && header.orientation == 1; }

std::optional<std::vector<std::uint8_t>> ReduceJpegStreaming(const JpegFile& file, std::int32_t box_w,
                                                             std::int32_t box_h, int quality,
                                                             const JpegDecodeOptions& options) {
  if (!CanStreamJpeg(file.header())) return std::nullopt;
  try {
    JpegReader reader(file.bytes(), options);
    const std::int32_t width = reader.width();
    const std::int32_t height = reader.height();
    FittedBox box;
    try {
      box = FitBox(width, height, box_w, box_h);
    } catch (const Error&) {
      // The whole-picture path decodes first and fails here afterwards; let it,
      // so that a damaged file still reports its decoding error first.
      return std::nullopt;
    }

    std::optional<ReducePlan> plan;
    std::int32_t span = 1;
    const auto make_plan = [&] {
      plan.emplace(width, height, box);
      for (std::int32_t y = 0; y < plan->height(); ++y) {
        span = std::max(span, plan->LastSourceRow(y) - plan->FirstSourceRow(y) + 1);
      }
    };
    // A picture to reduce goes over as planes where it can: the rows are
    // then made on this thread, and the decoder's is the shorter. The ring
    // of planes does not depend on the plan, which is then made once the
    // decoder runs; a ring of rows must hold the rows one output row spans.
    const bool planes = kHandOutPlanes && box.reduces && reader.HandOutPlanes();
    if (box.reduces && !planes) make_plan();
    std::optional<RowRing> ring;
    if (planes) {
      const JpegReader::PlaneLayout& layout = reader.plane_layout();
      // This thread holds at most three groups: the rows' own, the one above
      // and the one below (for the colour-difference rows around them).
      const int slack = std::max(1, RowRing::kSlack / layout.group_rows);
      ring.emplace(3 + 2 * slack + 1, GroupBytes(layout), layout.groups, slack);
    } else {
      const int capacity = (box.reduces ? span : 0) + 2 * RowRing::kSlack + kBatch;
      ring.emplace(capacity, static_cast<std::size_t>(width) * 3, height);
    }

    // The decoder starts first; this thread makes its own buffers and the
    // encoder meanwhile. Whatever ends the scope stops and joins the decoder
    // before the ring goes.
    std::optional<JoinedThread> producer;
    try {
      producer.emplace(
          [r = &*ring] { r->Cancel(); },
          [r = &reader, g = &*ring, planes] { planes ? ProducePlanes(*r, *g) : Produce(*r, *g); });
    } catch (const std::system_error&) {
      return std::nullopt;  // no second thread: the whole-picture path does it on one
    }
    if (planes) make_plan();
    std::optional<RowsFromPlanes> made;
    if (planes) made.emplace(*ring, reader.plane_layout(), width, height, span + kBatch);
    const std::int32_t out_width = box.reduces ? plan->width() : width;
    const std::int32_t out_height = box.reduces ? plan->height() : height;
    JpegWriter writer(out_width, out_height, quality, reader.multiple_scans());
    if (planes) {
      ReduceRows(*made, *plan, writer);
    } else if (box.reduces) {
      RingRows rows(*ring);
      ReduceRows(rows, *plan, writer);
    } else {
      CopyRows(*ring, height, writer);
    }
    // The encoder's last work (a progressive result's scans) while
    // the decoder reads the rest of the stream and lets go of its buffers;
    // an error found there still throws, and the bytes are dropped.
    std::vector<std::uint8_t> bytes = writer.Finish();
    ring->WaitForEnd();
    producer.reset();
    return bytes;
  } catch (const std::bad_alloc&) {
    // Short of memory for the ring, the tables or the output: the producer
    // is stopped, nothing is written, and the whole-picture path gets its
    // chance (and its own message if memory stays short).
    return std::nullopt;
  }
}

}  // namespace tam
