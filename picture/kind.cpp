// SPDX-License-Identifier: MIT
#include "picture/kind.h"

#include <algorithm>

#include "picture/path.h"

namespace tam {
namespace {

char FoldCase(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualNoCase(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](char x, char y) { return FoldCase(x) == FoldCase(y); });
}

}  // namespace

PictureKind KindOfExtension(std::string_view ext) {
  if (ext == ".jpg" || ext == ".JPG") return PictureKind::Jpeg;
  if (ext == ".bmp" || ext == ".BMP") return PictureKind::Bitmap;
  return PictureKind::None;
}

PictureKind KindOfName(std::string_view path) { return KindOfExtension(ExtractFileExt(path)); }

std::string_view AppendedExtension(PictureKind kind) {
  switch (kind) {
    case PictureKind::Jpeg:
      return ".jpg";
    case PictureKind::Bitmap:
      return ".bmp";
    case PictureKind::None:
      break;
  }
  return {};
}

PictureKind KindOfAppendedExtension(std::string_view ext) {
  for (const PictureKind kind : {PictureKind::Jpeg, PictureKind::Bitmap}) {
    if (ext == AppendedExtension(kind)) return kind;
  }
  return PictureKind::None;
}

PictureKind KindOfFolderName(std::string_view name) {
  // A name ends in ".jpg" exactly when its extension is ".jpg": "jpg" holds no dot.
  const std::string ext = ExtractFileExt(name);
  for (const PictureKind kind : {PictureKind::Jpeg, PictureKind::Bitmap}) {
    if (EqualNoCase(ext, AppendedExtension(kind))) return kind;
  }
  return PictureKind::None;
}

PictureKind ForcedKind(SourceKind kind) {
  if (kind == skJpeg) return PictureKind::Jpeg;
  if (kind == skBitmap) return PictureKind::Bitmap;
  return PictureKind::None;
}

}  // namespace tam
