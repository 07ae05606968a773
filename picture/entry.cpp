// SPDX-License-Identifier: MIT
#include "picture/entry.h"

#include "picture/kind.h"
#include "picture/path.h"

namespace tam {

std::optional<ConversionSource> ChooseConversionSource(const std::string& entry) {
  const std::string ext = ExtractFileExt(entry);
  if (ext.empty()) return std::nullopt;
  if (FileExists(entry)) return ConversionSource{entry, skByExtension};
  const PictureKind asked = KindOfAppendedExtension(ext);
  if (asked == PictureKind::None) return std::nullopt;
  std::string stripped = RemoveFileExt(entry);
  if (!FileExists(stripped)) return std::nullopt;
  return ConversionSource{std::move(stripped), asked == PictureKind::Jpeg ? skJpeg : skBitmap};
}

}  // namespace tam
