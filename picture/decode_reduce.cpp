#include "picture/decode_reduce.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace tam {
namespace {

constexpr int kBatchRows = 16;

// Source rows in a ring of slots: row i lives in slot i % slots. The decoder
// fills rows in order; the filter releases them in order.
class RowRing {
 public:
  RowRing(std::int32_t width, std::int32_t height, std::int32_t slots)
      : stride_(static_cast<std::size_t>(width) * 3),
        slots_(slots),
        data_(stride_ * static_cast<std::size_t>(slots)),
        rows_(static_cast<std::size_t>(height), nullptr) {}

  std::uint8_t* slot(std::int32_t row) {
    return data_.data() + stride_ * static_cast<std::size_t>(row % slots_);
  }
  void Publish(std::int32_t row) { rows_[static_cast<std::size_t>(row)] = slot(row); }
  const std::uint8_t* const* rows() const { return rows_.data(); }
  std::int32_t slots() const { return slots_; }

 private:
  std::size_t stride_;
  std::int32_t slots_;
  std::vector<std::uint8_t> data_;
  std::vector<const std::uint8_t*> rows_;
};

// What the decoder and the filter tell each other.
struct Progress {
  std::mutex mutex;
  std::condition_variable changed;
  std::int32_t decoded = 0;   // rows 0 .. decoded-1 are in the ring
  std::int32_t released = 0;  // rows below this are no longer needed
  bool stop = false;          // the decoder failed: the filter gives up
};

class Decoder {
 public:
  Decoder(JpegReader& reader, RowRing& ring)
      : reader_(reader), ring_(ring), width_(reader.width()), indexed_(reader.quantized()) {
    if (indexed_) indices_.resize(static_cast<std::size_t>(width_) * kBatchRows);
  }

  // Decodes up to count rows into the ring and publishes them.
  int DecodeBatch(int count) {
    const std::int32_t next = reader_.next_row();
    std::uint8_t* rows[kBatchRows];
    for (int i = 0; i < count; ++i) {
      rows[i] = indexed_ ? indices_.data() + static_cast<std::size_t>(width_) * i : ring_.slot(next + i);
    }
    const int got = reader_.ReadRows(rows, count);
    for (int i = 0; i < got; ++i) {
      // Palette indices are expanded as ReducePicture expands a whole picture.
      if (indexed_) Expand(rows[i], ring_.slot(next + i));
      ring_.Publish(next + i);
    }
    return got;
  }

 private:
  void Expand(const std::uint8_t* indices, std::uint8_t* out) const {
    const std::vector<Bgr>& palette = reader_.palette();
    for (std::int32_t x = 0; x < width_; ++x, out += 3) {
      const Bgr c = palette[indices[x]];
      out[0] = c.b;
      out[1] = c.g;
      out[2] = c.r;
    }
  }

  JpegReader& reader_;
  RowRing& ring_;
  std::int32_t width_;
  bool indexed_;
  std::vector<std::uint8_t> indices_;
};

// How many rows may be decoded next without overwriting a row still needed.
int BatchSize(std::int32_t next, std::int32_t height, std::int32_t released, std::int32_t slots) {
  return static_cast<int>(std::min({std::int32_t{kBatchRows}, height - next, released + slots - next}));
}

void DecodeAndFilterHere(JpegReader& reader, const ReducePlan& plan, RowRing& ring, Picture& dest) {
  Decoder decoder(reader, ring);
  for (std::int32_t y = 0; y < plan.height(); ++y) {
    while (reader.next_row() <= plan.LastSourceRow(y)) {
      decoder.DecodeBatch(
          BatchSize(reader.next_row(), plan.source_height(), plan.FirstSourceRow(y), ring.slots()));
    }
    plan.FilterRows(y, y + 1, ring.rows(), dest.row(y), dest.stride());
  }
}

// The filter on a thread of its own while this thread decodes. False when no
// thread could be started (nothing has been decoded then).
bool DecodeAndFilterInParallel(JpegReader& reader, const ReducePlan& plan, RowRing& ring, Picture& dest) {
  Progress progress;
  std::exception_ptr filter_error;
  const auto filter = [&] {
    try {
      for (std::int32_t y = 0; y < plan.height(); ++y) {
        {
          std::unique_lock lock(progress.mutex);
          progress.changed.wait(lock,
                                [&] { return progress.stop || progress.decoded > plan.LastSourceRow(y); });
          if (progress.stop) return;
        }
        plan.FilterRows(y, y + 1, ring.rows(), dest.row(y), dest.stride());
        {
          const std::lock_guard lock(progress.mutex);
          progress.released = y + 1 < plan.height() ? plan.FirstSourceRow(y + 1) : plan.source_height();
        }
        progress.changed.notify_all();
      }
    } catch (...) {
      filter_error = std::current_exception();
      const std::lock_guard lock(progress.mutex);
      progress.stop = true;
      progress.released = plan.source_height();
      progress.changed.notify_all();
    }
  };
  std::thread worker;
  try {
    worker = std::thread(filter);
  } catch (const std::system_error&) {
    return false;
  }

  // Whatever way this thread leaves, the filter is stopped and joined first.
  struct Joiner {
    Progress& progress;
    std::thread& worker;
    ~Joiner() {
      {
        const std::lock_guard lock(progress.mutex);
        progress.stop = true;
      }
      progress.changed.notify_all();
      worker.join();
    }
  };

  {
    Joiner joiner{progress, worker};
    Decoder decoder(reader, ring);
    const std::int32_t height = plan.source_height();
    const std::int32_t needed = plan.LastSourceRow(plan.height() - 1) + 1;
    while (reader.next_row() < needed) {
      int count;
      {
        std::unique_lock lock(progress.mutex);
        progress.changed.wait(lock, [&] {
          return progress.stop || BatchSize(reader.next_row(), height, progress.released, ring.slots()) > 0;
        });
        if (progress.stop) break;
        count = BatchSize(reader.next_row(), height, progress.released, ring.slots());
      }
      const int got = decoder.DecodeBatch(count);
      {
        const std::lock_guard lock(progress.mutex);
        progress.decoded += got;
      }
      progress.changed.notify_all();
    }
    // Wait for the filter to finish the last rows before the joiner stops it.
    std::unique_lock lock(progress.mutex);
    progress.changed.wait(lock, [&] { return progress.stop || progress.released >= height; });
  }
  if (filter_error) std::rethrow_exception(filter_error);
  return true;
}

}  // namespace

Picture DecodeReduced(JpegReader& reader, const FittedBox& box) {
  const std::int32_t w = reader.width(), h = reader.height();
  const ReducePlan plan(w, h, box);
  Picture dest = Picture::Bgr24(box.width, box.height);

  // Room for the widest band of source rows one destination row covers, plus
  // batches the decoder may already have delivered ahead of the filter.
  std::int32_t band = 1;
  for (std::int32_t y = 0; y < box.height; ++y) {
    band = std::max(band, plan.LastSourceRow(y) - plan.FirstSourceRow(y) + 1);
  }
  RowRing ring(w, h, band + 4 * kBatchRows);

  reader.Start();
  const bool worth_a_thread = std::int64_t{w} * h >= 512 * 512 && std::thread::hardware_concurrency() != 1;
  if (!worth_a_thread || !DecodeAndFilterInParallel(reader, plan, ring, dest)) {
    DecodeAndFilterHere(reader, plan, ring, dest);
  }

  // The rows below the last band are decoded too, and the stream read to its
  // end, so that damage there fails as it would in a whole decode.
  Decoder decoder(reader, ring);
  while (reader.next_row() < h)
    decoder.DecodeBatch(std::min<std::int32_t>(kBatchRows, h - reader.next_row()));
  reader.Finish();
  return dest;
}

}  // namespace tam
