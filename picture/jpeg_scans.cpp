#include "picture/jpeg_scans.h"

#include <emmintrin.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstddef>
#include <exception>
#include <functional>
#include <new>
#include <system_error>

#include "picture/joined_thread.h"

namespace tam {
namespace {

// Where in a block (natural order) the k-th coefficient in zigzag order lies.
constexpr int kNaturalOrder[64] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
                                   12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
                                   35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
                                   58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

constexpr int kMaxCoefBits = 10;          // 8-bit samples
constexpr int kMaxCorrectionBits = 1000;  // libjpeg's buffer for a refinement scan's correction bits
constexpr int kMaxEobRun = 0x7FFF;

int BitLength(unsigned v) { return 32 - std::countl_zero(v); }

// A block's coefficients tested eight at a time, the answers as one bit per
// coefficient in zigzag order (bit k for the k-th), so a scan can step from
// one coefficient that matters to the next.
class ZigzagBits {
 public:
  ZigzagBits() {
    int zigzag[64];
    for (int k = 0; k < 64; ++k) zigzag[kNaturalOrder[k]] = k;
    for (int part = 0; part < 8; ++part)
      for (int byte = 0; byte < 256; ++byte) {
        std::uint64_t bits = 0;
        for (int i = 0; i < 8; ++i)
          if (byte >> i & 1) bits |= std::uint64_t{1} << zigzag[part * 8 + i];
        table_[part][byte] = bits;
      }
  }
  // Bits in natural order to bits in zigzag order.
  std::uint64_t Reorder(std::uint64_t natural) const {
    std::uint64_t bits = 0;
    for (int part = 0; part < 8; ++part) bits |= table_[part][natural >> (8 * part) & 0xFF];
    return bits;
  }

 private:
  std::uint64_t table_[8][256];
};

const ZigzagBits& Zigzag() {
  static const ZigzagBits zigzag;
  return zigzag;
}

// Which coefficients are nonzero once their magnitude is shifted down by `al`;
// for a refinement scan also which come to exactly 1 and which are not
// negative. Natural order.
struct BlockBits {
  std::uint64_t nonzero = 0, one = 0, positive = 0;
};

template <bool kRefine>
BlockBits Examine(const std::int16_t* block, int al) {
  const __m128i shift = _mm_cvtsi32_si128(al);
  const __m128i zero = _mm_setzero_si128();
  const __m128i one = _mm_set1_epi16(1);
  const __m128i minus_one = _mm_set1_epi16(-1);
  std::uint64_t zeros = 0, ones = 0, positive = 0;
  for (int i = 0; i < 4; ++i) {
    const __m128i v0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * i));
    const __m128i v1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * i + 8));
    const __m128i s0 = _mm_srai_epi16(v0, 15);
    const __m128i s1 = _mm_srai_epi16(v1, 15);
    // |v| >> al; -32768 comes out as 32768 >> al, as it does in int
    const __m128i a0 = _mm_srl_epi16(_mm_sub_epi16(_mm_xor_si128(v0, s0), s0), shift);
    const __m128i a1 = _mm_srl_epi16(_mm_sub_epi16(_mm_xor_si128(v1, s1), s1), shift);
    const auto mask = [](__m128i x, __m128i y) {
      return static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(x, y))));
    };
    zeros |= mask(_mm_cmpeq_epi16(a0, zero), _mm_cmpeq_epi16(a1, zero)) << (16 * i);
    if constexpr (kRefine) {
      ones |= mask(_mm_cmpeq_epi16(a0, one), _mm_cmpeq_epi16(a1, one)) << (16 * i);
      positive |= mask(_mm_cmpgt_epi16(v0, minus_one), _mm_cmpgt_epi16(v1, minus_one)) << (16 * i);
    }
  }
  return {~zeros, ones, positive};
}

// The bits of the coefficients ss to ss + n - 1 in zigzag order, from bit 0.
std::uint64_t Band(const ZigzagBits& zigzag, std::uint64_t natural, int ss, int n) {
  return zigzag.Reorder(natural) >> ss & ((std::uint64_t{1} << n) - 1);
}

// A scan read into what it will write, before its Huffman tables exist:
// symbols (with the table they belong to and their extra bits) and plain
// bits, in order, and how often each table's symbols occur.
class Tokens {
 public:
  static constexpr std::uint32_t kBits = 1u << 31;

  void Symbol(int slot, int symbol, int nbits, unsigned value) {
    ++counts[slot][symbol];
    list.push_back(std::uint32_t(symbol) << 23 | std::uint32_t(slot) << 21 | std::uint32_t(nbits) << 16 |
                   (value & ((1u << nbits) - 1)));
    open_bits_ = 0;
  }
  // One plain bit; runs of them share a token, up to 16.
  void Bit(unsigned bit) {
    if (open_bits_ > 0 && open_bits_ < 16) {
      std::uint32_t& t = list.back();
      ++open_bits_;
      t = kBits | std::uint32_t(open_bits_) << 16 | ((t & 0xFFFF) << 1 | (bit & 1));
    } else {
      list.push_back(kBits | 1u << 16 | (bit & 1));
      open_bits_ = 1;
    }
  }

  std::vector<std::uint32_t> list;
  std::array<std::array<std::int64_t, 257>, 4> counts{};

 private:
  int open_bits_ = 0;
};

struct HuffTable {
  std::uint8_t bits[17] = {};  // how many codes of each length, 1 to 16
  std::uint8_t values[256] = {};
  int count = 0;
  std::uint16_t code[256] = {};
  std::uint8_t size[256] = {};
};

// libjpeg's jpeg_gen_optimal_table followed by jpeg_make_c_derived_tbl, step
// for step: the tables (and so the bytes) must come out the same, ties
// included. False where libjpeg would stop with an error.
bool BuildTable(std::array<std::int64_t, 257> freq, bool dc, HuffTable& table) {
  constexpr int kMaxCodeLength = 32;
  std::uint8_t bits[kMaxCodeLength + 1] = {};
  int codesize[257] = {};
  int others[257];
  std::fill(std::begin(others), std::end(others), -1);
  freq[256] = 1;  // the pseudo-symbol keeps any real code from being all ones
  int used[257];
  int used_count = 0;
  for (int i = 0; i <= 256; ++i)
    if (freq[i]) used[used_count++] = i;
  for (;;) {
    // The two smallest nonzero counts; on a tie, the larger symbol.
    int c1 = -1;
    std::int64_t v = 1000000000;
    for (int n = 0; n < used_count; ++n) {
      const int i = used[n];
      if (freq[i] && freq[i] <= v) {
        v = freq[i];
        c1 = i;
      }
    }
    int c2 = -1;
    v = 1000000000;
    for (int n = 0; n < used_count; ++n) {
      const int i = used[n];
      if (freq[i] && freq[i] <= v && i != c1) {
        v = freq[i];
        c2 = i;
      }
    }
    if (c2 < 0) break;
    freq[c1] += freq[c2];
    freq[c2] = 0;
    ++codesize[c1];
    while (others[c1] >= 0) {
      c1 = others[c1];
      ++codesize[c1];
    }
    others[c1] = c2;
    ++codesize[c2];
    while (others[c2] >= 0) {
      c2 = others[c2];
      ++codesize[c2];
    }
  }
  for (int i = 0; i <= 256; ++i) {
    if (!codesize[i]) continue;
    if (codesize[i] > kMaxCodeLength) return false;
    ++bits[codesize[i]];
  }
  // No code may be longer than 16 bits (the standard's adjustment).
  int i = kMaxCodeLength;
  for (; i > 16; --i) {
    while (bits[i] > 0) {
      int j = i - 2;
      while (bits[j] == 0) --j;
      bits[i] -= 2;
      ++bits[i - 1];
      bits[j + 1] += 2;
      --bits[j];
    }
  }
  // The pseudo-symbol's code goes from the longest length in use.
  while (i > 0 && bits[i] == 0) --i;
  if (i == 0) return false;  // no symbol at all: libjpeg never gets here
  --bits[i];
  std::copy(bits, bits + 17, table.bits);
  int p = 0;
  for (int length = 1; length <= kMaxCodeLength; ++length)
    for (int symbol = 0; symbol <= 255; ++symbol)
      if (codesize[symbol] == length) {
        if (p >= 256) return false;
        table.values[p++] = static_cast<std::uint8_t>(symbol);
      }
  table.count = p;

  // The canonical codes, as libjpeg derives them from bits and values.
  std::uint8_t huffsize[257];
  int last = 0;
  for (int length = 1; length <= 16; ++length)
    for (int n = 0; n < table.bits[length]; ++n) {
      if (last >= 256) return false;
      huffsize[last++] = static_cast<std::uint8_t>(length);
    }
  huffsize[last] = 0;
  if (last != table.count) return false;
  std::uint16_t huffcode[256];
  unsigned code = 0;
  int si = huffsize[0];
  p = 0;
  while (huffsize[p]) {
    while (huffsize[p] == si) {
      huffcode[p++] = static_cast<std::uint16_t>(code);
      ++code;
    }
    if (code >= (1u << si)) return false;
    code <<= 1;
    ++si;
  }
  const int max_symbol = dc ? 15 : 255;
  for (p = 0; p < last; ++p) {
    const int symbol = table.values[p];
    if (symbol > max_symbol || table.size[symbol]) return false;
    table.code[symbol] = huffcode[p];
    table.size[symbol] = huffsize[p];
  }
  return true;
}

class ByteSink {
 public:
  explicit ByteSink(std::vector<std::uint8_t>& out) : out_(out) {}
  void Byte(int b) { out_.push_back(static_cast<std::uint8_t>(b)); }
  void Two(int v) {
    Byte(v >> 8 & 0xFF);
    Byte(v & 0xFF);
  }
  void Marker(int code) {
    Byte(0xFF);
    Byte(code);
  }

 private:
  std::vector<std::uint8_t>& out_;
};

// Entropy-coded bits, first bit highest, a zero stuffed after every 0xFF.
class BitWriter {
 public:
  explicit BitWriter(std::vector<std::uint8_t>& out) : out_(out) {}
  void Put(unsigned value, int nbits) {  // nbits <= 16, value within them
    acc_ = acc_ << nbits | value;
    count_ += nbits;
    if (count_ >= 32) Drain();
  }
  // The last byte is filled with ones.
  void Finish() {
    Drain();
    if (count_ > 0) {
      Put(0x7F, 7);
      Drain();
    }
    count_ = 0;
  }

 private:
  void Drain() {
    while (count_ >= 8) {
      count_ -= 8;
      const auto b = static_cast<std::uint8_t>(acc_ >> count_);
      out_.push_back(b);
      if (b == 0xFF) out_.push_back(0);
    }
  }
  std::vector<std::uint8_t>& out_;
  std::uint64_t acc_ = 0;
  int count_ = 0;
};

const std::int16_t* BlockAt(const ScanComponent& c, int row, int col) {
  return c.rows[static_cast<std::size_t>(row)] + static_cast<std::ptrdiff_t>(col) * 64;
}

// Calls code(index in scan, block) for every block of the scan in the order
// libjpeg codes them: a lone component's own blocks row by row, or whole
// MCUs (padding included) of an interleaved scan.
template <class Code>
bool ForEachBlock(const ProgressiveFrame& frame, const ScanSpec& scan, Code&& code) {
  if (scan.count == 1) {
    const ScanComponent& c = frame.components[scan.components[0]];
    for (int row = 0; row < c.height_in_blocks; ++row)
      for (int col = 0; col < c.width_in_blocks; ++col)
        if (!code(0, BlockAt(c, row, col))) return false;
    return true;
  }
  const int mcus_across = (frame.width + frame.max_h * 8 - 1) / (frame.max_h * 8);
  const int mcus_down = (frame.height + frame.max_v * 8 - 1) / (frame.max_v * 8);
  for (int mr = 0; mr < mcus_down; ++mr)
    for (int mc = 0; mc < mcus_across; ++mc)
      for (int i = 0; i < scan.count; ++i) {
        const ScanComponent& c = frame.components[scan.components[i]];
        for (int y = 0; y < c.v; ++y)
          for (int x = 0; x < c.h; ++x)
            if (!code(i, BlockAt(c, mr * c.v + y, mc * c.h + x))) return false;
      }
  return true;
}

bool ReadDcFirst(const ProgressiveFrame& frame, const ScanSpec& scan, const int* slot, Tokens& tokens) {
  int last[4] = {};
  return ForEachBlock(frame, scan, [&](int i, const std::int16_t* block) {
    const int value = block[0] >> scan.al;
    const int diff = value - last[i];
    last[i] = value;
    const int sign = diff >> 31;
    const unsigned magnitude = static_cast<unsigned>((diff ^ sign) - sign);
    const int nbits = BitLength(magnitude);
    if (nbits > kMaxCoefBits + 1) return false;
    tokens.Symbol(slot[i], nbits, nbits, magnitude ^ static_cast<unsigned>(sign));
    return true;
  });
}

bool ReadDcRefine(const ProgressiveFrame& frame, const ScanSpec& scan, Tokens& tokens) {
  return ForEachBlock(frame, scan, [&](int, const std::int16_t* block) {
    tokens.Bit(static_cast<unsigned>(block[0] >> scan.al) & 1);
    return true;
  });
}

// A run of blocks that end early, as one symbol with the run's low bits,
// then the correction bits those blocks held back.
struct EobRun {
  int run = 0;
  std::vector<std::uint8_t> held;  // correction bits of the blocks in the run, then of the current block
  std::size_t held_by_run = 0;

  bool Flush(Tokens& tokens) {
    if (run == 0) return true;
    const int nbits = BitLength(static_cast<unsigned>(run)) - 1;
    if (nbits > 14) return false;
    tokens.Symbol(0, nbits << 4, nbits, static_cast<unsigned>(run));
    run = 0;
    for (std::size_t i = 0; i < held_by_run; ++i) tokens.Bit(held[i]);
    held.erase(held.begin(), held.begin() + static_cast<std::ptrdiff_t>(held_by_run));
    held_by_run = 0;
    return true;
  }
};

bool ReadAcFirst(const ProgressiveFrame& frame, const ScanSpec& scan, Tokens& tokens) {
  const int n = scan.se - scan.ss + 1;
  const int* order = kNaturalOrder + scan.ss;
  const ZigzagBits& zigzag = Zigzag();
  EobRun eob;
  const bool ok = ForEachBlock(frame, scan, [&](int, const std::int16_t* block) {
    std::uint64_t nonzero = Band(zigzag, Examine<false>(block, scan.al).nonzero, scan.ss, n);
    if (nonzero && !eob.Flush(tokens)) return false;
    int next = 0;
    while (nonzero) {
      const int k = std::countr_zero(nonzero);
      nonzero &= nonzero - 1;
      int run = k - next;
      while (run > 15) {
        tokens.Symbol(0, 0xF0, 0, 0);
        run -= 16;
      }
      const int v = block[order[k]];
      const int sign = v >> 31;
      const unsigned magnitude = static_cast<unsigned>((v ^ sign) - sign) >> scan.al;
      const int nbits = BitLength(magnitude);
      if (nbits > kMaxCoefBits) return false;
      tokens.Symbol(0, run << 4 | nbits, nbits, magnitude ^ static_cast<unsigned>(sign));
      next = k + 1;
    }
    if (next < n && ++eob.run == kMaxEobRun) return eob.Flush(tokens);
    return true;
  });
  return ok && eob.Flush(tokens);
}

bool ReadAcRefine(const ProgressiveFrame& frame, const ScanSpec& scan, Tokens& tokens) {
  const int n = scan.se - scan.ss + 1;
  const int* order = kNaturalOrder + scan.ss;
  const ZigzagBits& zigzag = Zigzag();
  EobRun eob;
  eob.held.reserve(kMaxCorrectionBits + 64);
  const bool ok = ForEachBlock(frame, scan, [&](int, const std::int16_t* block) {
    const BlockBits bits = Examine<true>(block, scan.al);
    std::uint64_t nonzero = Band(zigzag, bits.nonzero, scan.ss, n);
    const std::uint64_t one = Band(zigzag, bits.one, scan.ss, n);
    const std::uint64_t positive = Band(zigzag, bits.positive, scan.ss, n);
    // The last coefficient that becomes nonzero in this scan.
    const int last_new = one ? 63 - std::countl_zero(one) : -1;
    int run = 0;   // zeros since the last symbol
    int next = 0;  // the coefficient after the last one looked at
    while (nonzero) {
      const int k = std::countr_zero(nonzero);
      nonzero &= nonzero - 1;
      run += k - next;
      next = k + 1;
      // Runs of 16 zeros, unless the end of block can take them.
      while (run > 15 && k <= last_new) {
        if (!eob.Flush(tokens)) return false;
        tokens.Symbol(0, 0xF0, 0, 0);
        run -= 16;
        for (std::uint8_t b : eob.held) tokens.Bit(b);
        eob.held.clear();
      }
      if (!(one >> k & 1)) {  // nonzero before: one correction bit
        const int v = block[order[k]];
        const int sign = v >> 31;
        eob.held.push_back(static_cast<std::uint8_t>(static_cast<unsigned>((v ^ sign) - sign) >> scan.al & 1));
        continue;
      }
      if (!eob.Flush(tokens)) return false;
      tokens.Symbol(0, run << 4 | 1, 1, static_cast<unsigned>(positive >> k & 1));
      for (std::uint8_t b : eob.held) tokens.Bit(b);
      eob.held.clear();
      run = 0;
    }
    const bool held_now = eob.held.size() > eob.held_by_run;
    if (run > 0 || next < n || held_now) {
      ++eob.run;
      eob.held_by_run = eob.held.size();
      if (eob.run == kMaxEobRun || eob.held_by_run > static_cast<std::size_t>(kMaxCorrectionBits) - 64 + 1)
        return eob.Flush(tokens);
    }
    return true;
  });
  return ok && eob.Flush(tokens);
}

// One scan, markers and data, into `out`.
bool WriteScan(const ProgressiveFrame& frame, const ScanSpec& scan, std::vector<std::uint8_t>& out) {
  const bool dc = scan.ss == 0;
  // The tables this scan uses, in the order libjpeg writes them.
  int tables[4];
  int slot[4] = {};
  int table_count = 0;
  if (!(dc && scan.ah != 0)) {
    for (int i = 0; i < scan.count; ++i) {
      const ScanComponent& c = frame.components[scan.components[i]];
      const int t = dc ? c.dc_table : c.ac_table;
      int s = 0;
      while (s < table_count && tables[s] != t) ++s;
      if (s == table_count) tables[table_count++] = t;
      slot[i] = s;
    }
  }
  Tokens tokens;
  std::size_t blocks = 0;
  for (int i = 0; i < scan.count; ++i) {
    const ScanComponent& c = frame.components[scan.components[i]];
    blocks += static_cast<std::size_t>(c.width_in_blocks) * static_cast<std::size_t>(c.height_in_blocks);
  }
  tokens.list.reserve(dc ? blocks : blocks * 2);
  bool ok;
  if (dc)
    ok = scan.ah == 0 ? ReadDcFirst(frame, scan, slot, tokens) : ReadDcRefine(frame, scan, tokens);
  else
    ok = scan.ah == 0 ? ReadAcFirst(frame, scan, tokens) : ReadAcRefine(frame, scan, tokens);
  if (!ok) return false;

  HuffTable huff[4];
  ByteSink sink(out);
  for (int s = 0; s < table_count; ++s) {
    if (!BuildTable(tokens.counts[s], dc, huff[s])) return false;
    sink.Marker(0xC4);
    sink.Two(2 + 1 + 16 + huff[s].count);
    sink.Byte(dc ? tables[s] : tables[s] + 0x10);
    for (int l = 1; l <= 16; ++l) sink.Byte(huff[s].bits[l]);
    for (int v = 0; v < huff[s].count; ++v) sink.Byte(huff[s].values[v]);
  }
  sink.Marker(0xDA);
  sink.Two(2 * scan.count + 2 + 1 + 3);
  sink.Byte(scan.count);
  for (int i = 0; i < scan.count; ++i) {
    const ScanComponent& c = frame.components[scan.components[i]];
    sink.Byte(c.id);
    const int td = dc && scan.ah == 0 ? c.dc_table : 0;
    const int ta = scan.se ? c.ac_table : 0;
    sink.Byte(td << 4 | ta);
  }
  sink.Byte(scan.ss);
  sink.Byte(scan.se);
  sink.Byte(scan.ah << 4 | scan.al);

  BitWriter writer(out);
  for (const std::uint32_t t : tokens.list) {
    const int nbits = static_cast<int>(t >> 16 & 0x1F);
    if (t & Tokens::kBits) {
      writer.Put(t & 0xFFFF, nbits);
      continue;
    }
    const HuffTable& h = huff[t >> 21 & 3];
    const int symbol = static_cast<int>(t >> 23 & 0xFF);
    if (h.size[symbol] == 0) return false;
    writer.Put(h.code[symbol], h.size[symbol]);
    if (nbits) writer.Put(t & 0xFFFF, nbits);
  }
  writer.Finish();
  return true;
}

// The frame as libjpeg would accept it from its own encoder: anything else
// is left to libjpeg.
bool Sound(const ProgressiveFrame& frame) {
  if (frame.width < 1 || frame.height < 1 || frame.width > 65535 || frame.height > 65535) return false;
  if (frame.components.empty() || frame.components.size() > 4 || frame.scans.empty()) return false;
  const int mcus_across = (frame.width + frame.max_h * 8 - 1) / (frame.max_h * 8);
  const int mcus_down = (frame.height + frame.max_v * 8 - 1) / (frame.max_v * 8);
  for (const ScanComponent& c : frame.components) {
    if (c.h < 1 || c.h > 4 || c.v < 1 || c.v > 4 || c.h > frame.max_h || c.v > frame.max_v) return false;
    if (c.quant_table < 0 || c.quant_table > 3 || !frame.quant[c.quant_table]) return false;
    if (c.dc_table < 0 || c.dc_table > 3 || c.ac_table < 0 || c.ac_table > 3) return false;
    if (c.width_in_blocks < 1 || c.height_in_blocks < 1) return false;
    if (static_cast<int>(c.rows.size()) < std::max(c.height_in_blocks, mcus_down * c.v)) return false;
    if (c.row_blocks < std::max(c.width_in_blocks, mcus_across * c.h)) return false;
    for (const std::int16_t* row : c.rows)
      if (!row) return false;
  }
  for (const ScanSpec& s : frame.scans) {
    if (s.count < 1 || s.count > 4) return false;
    if (s.ss < 0 || s.se > 63 || s.ss > s.se || s.al < 0 || s.al > 13 || s.ah < 0 || s.ah > 13) return false;
    if (s.ss == 0 && s.se != 0) return false;
    if (s.ss > 0 && s.count != 1) return false;
    for (int i = 0; i < s.count; ++i)
      if (s.components[i] < 0 || s.components[i] >= static_cast<int>(frame.components.size())) return false;
  }
  return true;
}

void WriteFrameHeader(const ProgressiveFrame& frame, std::vector<std::uint8_t>& out) {
  ByteSink sink(out);
  bool sent[4] = {};
  for (const ScanComponent& c : frame.components) {
    const int q = c.quant_table;
    if (sent[q]) continue;
    sent[q] = true;
    const std::uint16_t* table = frame.quant[q];
    const bool wide = std::any_of(table, table + 64, [](std::uint16_t v) { return v > 255; });
    sink.Marker(0xDB);
    sink.Two(wide ? 64 * 2 + 1 + 2 : 64 + 1 + 2);
    sink.Byte(q + (wide ? 0x10 : 0));
    for (const int natural : kNaturalOrder) {
      const unsigned v = table[natural];
      if (wide) sink.Byte(static_cast<int>(v >> 8));
      sink.Byte(static_cast<int>(v & 0xFF));
    }
  }
  sink.Marker(0xC2);
  sink.Two(3 * static_cast<int>(frame.components.size()) + 2 + 5 + 1);
  sink.Byte(8);
  sink.Two(frame.height);
  sink.Two(frame.width);
  sink.Byte(static_cast<int>(frame.components.size()));
  for (const ScanComponent& c : frame.components) {
    sink.Byte(c.id);
    sink.Byte(c.h << 4 | c.v);
    sink.Byte(c.quant_table);
  }
}

// A rough cost of coding a scan, to start the costliest first: refinement
// scans carry correction bits, and the last ones most.
double Cost(const ProgressiveFrame& frame, const ScanSpec& scan) {
  double blocks = 0;
  for (int i = 0; i < scan.count; ++i) {
    const ScanComponent& c = frame.components[scan.components[i]];
    blocks += static_cast<double>(c.width_in_blocks) * c.height_in_blocks;
  }
  const double band = scan.ss == 0 ? 1 : scan.se - scan.ss + 1;
  return blocks * (20 + band * (scan.ah ? 2 : 1) * (scan.al ? 1 : 2));
}

}  // namespace

bool WriteProgressiveScans(const ProgressiveFrame& frame, int threads, std::vector<std::uint8_t>& out) {
  if (!Sound(frame)) return false;
  const std::size_t count = frame.scans.size();
  std::vector<std::vector<std::uint8_t>> coded(count);
  // Each thread takes the costliest scan left until none is.
  std::vector<std::size_t> order(count);
  std::vector<double> cost(count);
  for (std::size_t i = 0; i < count; ++i) {
    order[i] = i;
    cost[i] = Cost(frame, frame.scans[i]);
  }
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return cost[a] > cost[b]; });
  std::atomic<std::size_t> taken{0};
  std::atomic<bool> failed{false};
  const auto code = [&] {
    try {
      for (std::size_t n; !failed.load(std::memory_order_relaxed) && (n = taken.fetch_add(1)) < count;) {
        const std::size_t i = order[n];
        if (!WriteScan(frame, frame.scans[i], coded[i])) failed = true;
      }
    } catch (const std::bad_alloc&) {
      failed = true;
    }
  };
  if (threads > 1) {
    try {
      JoinedThread helper([] {}, code);
      code();
    } catch (const std::system_error&) {
      code();  // no second thread to be had: this one codes what is left
    }
  } else {
    code();
  }
  if (failed) return false;

  std::size_t total = out.size() + 2 + 600;  // the frame header is a few hundred bytes
  for (const auto& c : coded) total += c.size();
  out.reserve(total);
  WriteFrameHeader(frame, out);
  for (const auto& c : coded) out.insert(out.end(), c.begin(), c.end());
  ByteSink(out).Marker(0xD9);
  return true;
}

}  // namespace tam
