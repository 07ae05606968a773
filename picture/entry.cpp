#include "picture/entry.h"

#include "picture/path.h"

namespace tam {

std::optional<ConversionJob> ChooseConversion(const std::string& entry) {
  const std::string ext = ExtractFileExt(entry);
  if (FileExists(entry) && !ext.empty()) return ConversionJob{entry, skByExtension};
  const std::string base = RemoveFileExt(entry);
  if (ext == ".jpg" && FileExists(base)) return ConversionJob{base, skJpeg};
  if (ext == ".bmp" && FileExists(base)) return ConversionJob{base, skBitmap};
  return std::nullopt;
}

}  // namespace tam
