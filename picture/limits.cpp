// SPDX-License-Identifier: MIT
#include "picture/limits.h"

#include <algorithm>

namespace tam {

void CheckMemoryNeed(std::int64_t width, std::int64_t height, std::int64_t bytes) {
  if (bytes <= kMemoryBudget) return;
  constexpr std::int64_t kMiB = std::int64_t{1} << 20;
  throw LimitError("画像が大きすぎます (" + std::to_string(width) + " x " + std::to_string(height) +
                   " 画素、必要なメモリ " + std::to_string((bytes + kMiB - 1) / kMiB) + " MiB、上限 " +
                   std::to_string(kMemoryBudget / kMiB) + " MiB)");
}

std::int64_t ConversionNeed(const DecodeCost& cost, bool turned) {
  const std::int64_t picture = cost.picture_bytes();
  const std::int64_t expanded = cost.bytes_per_pixel == 3 ? picture : picture + cost.width * cost.height * 3;
  return cost.file_bytes + std::max({cost.decoder_bytes + picture, turned ? 2 * picture : 0, expanded});
}

std::int64_t ClipboardNeed(const DecodeCost& cost) {
  const std::int64_t picture = cost.picture_bytes();
  const std::int64_t rgb = cost.width * cost.height * 3;
  return cost.file_bytes + std::max(cost.decoder_bytes + picture, picture + 2 * rgb);
}

Error NamingFile(const std::string& path, const LimitError& refusal) {
  return Error("ファイル " + path + " を読み込めません。" + refusal.what());
}

}  // namespace tam
