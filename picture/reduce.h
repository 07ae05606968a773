// SPDX-License-Identifier: MIT
#pragma once
// The area-averaging reduction filter.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "picture/picture.h"

namespace tam {

// The box fitted to a picture's aspect ratio and whether the filter runs.
struct FittedBox {
  std::int32_t width = 0;   // nW
  std::int32_t height = 0;  // nH
  float area_ratio = 0;     // A: source pixels over destination pixels
  double sx = 0, sy = 0;    // source pixels per destination pixel
  bool reduces = false;     // A >= 1: the filter runs
};

// Fits the box W x H to a w x h picture at extended precision. Throws
// FloatError for a picture with exactly one side 0, Error for a negative side,
// 2^31 pixels or more, or a box that is not positive. A side that would floor
// to 0 on a very thin picture is 1.
FittedBox FitBox(std::int32_t w, std::int32_t h, std::int32_t box_w, std::int32_t box_h);

// The coverage tables of one reduction, made from the sizes alone, and the
// filter of destination rows from source rows. The source rows can come from
// a whole picture or arrive one by one from a decoder: destination row y reads
// only source rows FirstSourceRow(y) to LastSourceRow(y).
class ReducePlan {
 public:
  // A plan for a w x h source and a fitted box that reduces (box.reduces).
  ReducePlan(std::int32_t w, std::int32_t h, const FittedBox& box);

  std::int32_t source_width() const { return source_width_; }
  std::int32_t source_height() const { return source_height_; }
  std::int32_t width() const { return box_.width; }
  std::int32_t height() const { return box_.height; }
  const FittedBox& box() const { return box_; }

  std::int32_t FirstSourceRow(std::int32_t y) const { return rows_[y].first; }
  std::int32_t LastSourceRow(std::int32_t y) const { return rows_[y].first + rows_[y].count - 1; }
  // The source columns destination column x covers, and the coverages of
  // those columns (and of destination row y's source rows), in order.
  std::int32_t FirstSourceColumn(std::int32_t x) const { return columns_[x].first; }
  std::int32_t SourceColumnCount(std::int32_t x) const { return columns_[x].count; }
  const double* ColumnCoverages(std::int32_t x) const { return column_weights_.data() + columns_[x].weights; }
  const double* RowCoverages(std::int32_t y) const { return row_weights_.data() + rows_[y].weights; }

  // Filters destination rows [y_begin, y_end). source_rows[i] is the start of
  // source row i, 24 bits per pixel (only the rows named above are read);
  // dest is the start of destination row y_begin, rows dest_stride bytes apart.
  void FilterRows(std::int32_t y_begin, std::int32_t y_end, const std::uint8_t* const* source_rows,
                  std::uint8_t* dest, std::size_t dest_stride) const;
  // Destination pixel (x, y) alone, exactly as FilterRows makes it; out
  // receives its blue, green and red bytes.
  void FilterPixel(std::int32_t x, std::int32_t y, const std::uint8_t* const* source_rows,
                   std::uint8_t* out) const;

 private:
  // The source columns (or rows) one destination column (or row) covers and
  // where their coverages start in the weight table.
  struct Span {
    std::int32_t first = 0;
    std::int32_t count = 0;
    std::size_t weights = 0;
  };

  void FilterRow(std::int32_t y, const std::uint8_t* const* source_rows, std::uint8_t* out) const;
  template <int N>
  void FilterGroup(const Span* columns, const Span& row, const double* wys, const std::uint8_t* const* rows,
                   long double area, std::uint8_t* out) const;

  std::int32_t source_width_ = 0;
  std::int32_t source_height_ = 0;
  FittedBox box_;
  std::vector<Span> columns_;
  std::vector<Span> rows_;
  std::vector<double> column_weights_;
  std::vector<double> row_weights_;
};

// Replaces the picture by its area-averaged reduction to fit box_w x box_h,
// or leaves it untouched (not even converted to 24 bits) when it already fits.
// On error the picture is unchanged.
void ReducePicture(Picture& picture, std::int32_t box_w, std::int32_t box_h);

}  // namespace tam
