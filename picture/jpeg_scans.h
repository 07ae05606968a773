#pragma once
// The scans of a progressive JPEG with optimised Huffman tables, written from
// the encoder's quantized coefficients: the same bytes libjpeg's own
// jpeg_finish_compress writes after the last row, but each scan is coded on
// its own, so two threads share them.
//
// libjpeg codes a progressive file's scans one after the other once the whole
// picture is in, each in two passes over every block (one to count the
// symbols for its tables, one to write them). That tail is most of a reduced
// picture's encoding, and the other thread has nothing left to do by then.
// Here each scan is read once into a list of symbols and bits, its tables are
// built from the counts exactly as libjpeg builds them, and the list is then
// written out; the scans are split between the calling thread and a second
// one.
#include <cstdint>
#include <vector>

namespace tam {

// One component of the frame, as the encoder holds it.
struct ScanComponent {
  int id = 0;
  int h = 1, v = 1;  // sampling factors
  int quant_table = 0, dc_table = 0, ac_table = 0;
  int width_in_blocks = 0, height_in_blocks = 0;  // the blocks the picture covers
  int row_blocks = 0;                               // blocks in each row kept, padding included
  // Every row of blocks the encoder keeps (the picture's, then its padding
  // to whole MCUs), each 64 coefficients in natural order per block.
  std::vector<const std::int16_t*> rows;
};

struct ScanSpec {
  int components[4] = {};  // indexes into the frame's components
  int count = 0;
  int ss = 0, se = 0, ah = 0, al = 0;
};

struct ProgressiveFrame {
  int width = 0, height = 0;
  int max_h = 1, max_v = 1;
  std::vector<ScanComponent> components;
  // The quantization tables the components use, by table number, natural order.
  const std::uint16_t* quant[4] = {};
  std::vector<ScanSpec> scans;
};

// Appends the frame header (DQT, SOF2), every scan with its DHT and SOS
// markers, and EOI to `out`. False (and `out` unchanged) where the frame or a
// coefficient lies outside what libjpeg would code; the caller then leaves the
// work to libjpeg, which reports it. `threads` above 1 lets a second thread
// take part.
bool WriteProgressiveScans(const ProgressiveFrame& frame, int threads, std::vector<std::uint8_t>& out);

}  // namespace tam
