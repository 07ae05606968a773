#pragma once
// libjpeg's one-pass quantizer as it decodes a grey picture to a palette of
// 236 greys with Floyd-Steinberg dithering: the same indices, row by row,
// so that the dithering can run on another thread than the decoding.
#include <cstdint>
#include <vector>

namespace tam {

class GreyDither {
 public:
  static constexpr int kLevels = 236;
  // The grey of palette entry i, as libjpeg spaces them.
  static std::uint8_t Level(int i);

  explicit GreyDither(std::int32_t width);
  // The next row's palette indices. Rows come in order: the error runs on
  // to the row below, and every other row is taken right to left.
  void Row(const std::uint8_t* grey, std::uint8_t* indices);

 private:
  std::int32_t width_;
  std::vector<std::int16_t> errors_;  // one per column, and one either side
  bool right_to_left_ = false;
  // For a grey plus its error (-256 to 511, offset by 256): the palette
  // index, and that index's error (the grey, limited to 0 to 255, less the
  // level), as libjpeg's range limit and colour index tables give them.
  std::uint8_t index_[768];
  std::int16_t remainder_[768];
};

}  // namespace tam
