#include "picture/entry.h"

#include "picture/path.h"

namespace tam {

std::optional<ConversionSource> ChooseConversionSource(const std::string& entry) {
  const std::string ext = ExtractFileExt(entry);
  if (ext.empty()) return std::nullopt;
  if (FileExists(entry)) return ConversionSource{entry, skByExtension};
  if (ext != ".jpg" && ext != ".bmp") return std::nullopt;
  std::string stripped = RemoveFileExt(entry);
  if (!FileExists(stripped)) return std::nullopt;
  return ConversionSource{std::move(stripped), ext == ".jpg" ? skJpeg : skBitmap};
}

}  // namespace tam
