// SPDX-License-Identifier: MIT
#include "picture/convert.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "picture/bmp.h"
#include "picture/error.h"
#include "picture/fileio.h"
#include "picture/jpeg.h"
#include "picture/jpeg_header.h"
#include "picture/limits.h"
#include "picture/path.h"
#include "picture/picture.h"
#include "picture/reduce.h"
#include "picture/stream.h"
#include "picture/unique_fd.h"

namespace tam {
namespace {

// The box a converted picture is reduced to fit.
struct TargetBox {
  std::int32_t width, height;
};
constexpr TargetBox kSlideBox{960, 720}, kQuarterBox{480, 360};

Picture ReadBitmap(int folder, const std::string& path) {
  Picture picture = DecodeBmp(ReadWholeFile(folder, path));
  picture.ToBgr24();
  // Bitmaps always fit the full slide box, quarter size or not.
  ReducePicture(picture, kSlideBox.width, kSlideBox.height);
  return picture;
}

// The whole-picture JPEG route, for files the streaming path leaves alone
// (an upright turn needs the whole picture) and as the reference it matches.
Picture ReadJpeg(const JpegFile& file, const ConvertOptions& options, TargetBox box, bool& multiple_scans) {
  const int orientation = file.header().orientation;
  JpegReader reader(file.bytes(),
                    {.low_colour_display = options.low_colour_display, .cut_short_is_error = true});
  const DecodeCost cost = reader.cost();
  CheckMemoryNeed(cost.width, cost.height, ConversionNeed(cost, orientation >= 2 && orientation <= 8));
  DecodedJpeg decoded = DecodeJpeg(reader);
  multiple_scans = decoded.multiple_scans;
  // Cameras store portraits lying on their side with an orientation tag;
  // every viewer turns them upright, so the reduced file must be upright too
  // (it carries no tag of its own).
  ApplyOrientation(decoded.picture, orientation);
  ReducePicture(decoded.picture, box.width, box.height);
  return std::move(decoded.picture);
}

// The bitmap that a ".jpg" written in its place replaces: base + ".bmp", else
// base + ".BMP", whichever is the very file that was converted. On a file
// system that ignores case (a camera's card) both names reach the source, and
// the spelling the source was found by goes first, so that the trash keeps the
// name the card shows; on one that does not, a different picture may carry
// the other spelling, and it must stay.
std::string ReplacedBitmap(int folder, const std::string& source, const std::string& base) {
  struct stat src;
  if (::fstatat(folder, ExtractFileName(source).c_str(), &src, 0) != 0) return {};
  const char* order[] = {".bmp", ".BMP"};
  if (source.size() == base.size() + 4 && source.compare(base.size(), 4, ".BMP") == 0)
    std::swap(order[0], order[1]);
  for (const char* ext : order) {
    const std::string name = base + ext;
    struct stat st;
    if (::fstatat(folder, ExtractFileName(name).c_str(), &st, 0) == 0 && !S_ISDIR(st.st_mode) &&
        st.st_dev == src.st_dev && st.st_ino == src.st_ino) {
      return name;
    }
  }
  return {};
}

// Whether the names a and b reach the same file in `folder`.
bool SameFile(int folder, const std::string& a, const std::string& b) {
  struct stat sa, sb;
  return ::fstatat(folder, ExtractFileName(a).c_str(), &sa, 0) == 0 &&
         ::fstatat(folder, ExtractFileName(b).c_str(), &sb, 0) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

// Writes the reduced picture to output, in the source's folder held open as
// `folder`. A file there that is not the
// program's own earlier output goes to the trash first, once its replacement
// is complete: a photo is never replaced for good, and when the trash cannot
// take it nothing changes. Under our own output name (own_name) an earlier
// result is simply replaced. A name the program chose (chosen: its own, or
// the JPEG that replaces a bitmap) is written as a name, not through a link
// there: such a link (a_x.jpg -> holiday.jpg, unpacked from an archive, or
// -> /etc/passwd) goes to the trash itself, and what it leads to, in the
// folder or anywhere else, is left alone. An output name that reaches the
// source itself (a link, a hard link) is refused: writing there would
// destroy the picture being converted.
// `check`, when given, sees the new file as made, before anything is written
// or replaced, and may throw to leave everything as it was.
void WriteOutput(int folder, const std::string& output, const std::string& source,
                 std::span<const std::uint8_t> data, Trash& trash, bool own_name, bool chosen,
                 const struct stat* read = nullptr,
                 const std::function<void(const struct stat& made)>& check = {}) {
  if (output != source && SameFile(folder, output, source)) {
    throw Error("ファイル " + output + " は変換元の " + source +
                " と同じファイルのため、書き込みませんでした。");
  }
  SafeFileWriter writer(folder, output,
                        chosen ? SafeFileWriter::Link::kReplace : SafeFileWriter::Link::kFollow);
  if (check) {
    struct stat made;
    if (::fstat(writer.fd(), &made) != 0) writer.FailWrite(errno);
    check(made);
  }
  if (read) writer.ReplaceOnly(*read);
  writer.Write(data);
  if (own_name && !writer.through_link() && !writer.replaces_link()) {
    writer.Commit();
    return;
  }
  bool trashed = false;
  try {
    writer.Commit([&](const std::string& target) {
      if (!trash.MoveToTrash(target)) {
        throw Error("ファイル " + target + " をごみ箱に移せないため、上書きしませんでした。" +
                    trash.LastError());
      }
      trashed = true;
    });
  } catch (const Error& e) {
    if (!trashed) throw;
    // The name could not be taken once the file had gone: the user must
    // not look for it where it was.
    throw Error(std::string(e.what()) + "。元のファイル " + writer.TargetNow() +
                " はごみ箱に移してあります。");
  }
}

// Reads, reduces and encodes the source: the new JPEG's bytes, or nothing
// for an empty bitmap. When both tests hold, the JPEG read replaces the
// bitmap; one of the two reads of the same bytes always fails, so nothing is
// written then.
std::optional<std::vector<std::uint8_t>> Reduced(int folder, const std::string& path, int quality,
                                                 bool bitmap_test, bool jpeg_test,
                                                 const ConvertOptions& options) {
  Picture picture;
  bool progressive = false;
  std::optional<std::vector<std::uint8_t>> streamed;
  try {
    if (bitmap_test) picture = ReadBitmap(folder, path);
    if (jpeg_test) {
      const JpegFile file(ReadWholeFile(folder, path));
      const TargetBox box = options.quarter ? kQuarterBox : kSlideBox;
      // Decoded, reduced and encoded row by row where the stream can serve
      // the file: the same bytes, without the whole decoded picture.
      streamed =
          ReduceJpegStreaming(file, box.width, box.height, quality,
                              {.low_colour_display = options.low_colour_display, .cut_short_is_error = true});
      picture = streamed ? Picture() : ReadJpeg(file, options, box, progressive);
    }
  } catch (const LimitError& refusal) {
    throw NamingFile(path, refusal);
  }
  if (streamed) return streamed;
  // An empty bitmap file gives a 0 x 0 picture: there is nothing to encode.
  if (picture.empty()) return std::nullopt;
  return EncodeJpeg(picture, quality, progressive);
}

// Puts the JPEG in place of the bitmap `path` (base + ".jpg"), which then
// goes to the trash; `read` is the bitmap as it was before it was read.
std::string ReplaceBitmap(int folder, const std::string& path, std::span<const std::uint8_t> encoded,
                          Trash& trash, const struct stat* read) {
  const std::string replaced = ReplacedBitmap(folder, path, RemoveFileExt(path));
  const std::string output = RemoveFileExt(path) + ".jpg";
  // Somebody else's bitmap in a folder we share would go to our trash,
  // out of their reach, and its .jpg would be ours: as an overwritten
  // photo of theirs, it is not replaced. Told by the owner the new file
  // gets: on a card, which keeps no owners, every file shows the mount's,
  // whoever made it, and the bitmap is then nobody else's.
  const auto not_theirs = [&](const struct stat& made) {
    if (!replaced.empty() && read && read->st_uid != made.st_uid && ::geteuid() != 0) {
      throw Error("ファイル " + replaced + " はほかのユーザーのファイルのため、" + output +
                  " に置き換えませんでした。");
    }
  };
  // A bitmap saved again while it converted holds newer work than its
  // reduction: it stays, and its .jpg is not written. Checked once more
  // after the write, which takes time too; the .jpg then stays, a whole
  // reduction of the picture as it was read (removing it could not bring
  // back a file it replaced, which is in the trash), and the user is told.
  const auto unchanged = [&] { return read && StillAsSeen(folder, ExtractFileName(replaced), *read); };
  if (!replaced.empty() && !unchanged()) {
    throw Error("ファイル " + replaced + " は読み込んだ後に変更されたため、" + output +
                " に置き換えませんでした。");
  }
  WriteOutput(folder, output, path, encoded, trash, /*own_name=*/false, /*chosen=*/true, nullptr, not_theirs);
  if (!replaced.empty() && !unchanged()) {
    throw Error("ファイル " + replaced + " は読み込んだ後に変更されたため、ごみ箱に移しませんでした。" +
                output + " は変更前の内容から作ったものです。");
  }
  // Only now that its replacement is safely on disk does the bitmap go;
  // a trash that fails leaves it where it is, which loses nothing.
  if (!replaced.empty()) trash.MoveToTrash(PathNow(folder, replaced));
  return output;
}

}  // namespace

std::string ConvertPicture(const std::string& path, int quality, SourceKind kind,
                           const ConvertOptions& options) {
  const PictureKind named = KindOfName(path), forced = ForcedKind(kind);
  const bool bitmap_test = named == PictureKind::Bitmap || forced == PictureKind::Bitmap;
  const bool jpeg_test = named == PictureKind::Jpeg || forced == PictureKind::Jpeg;
  if (!bitmap_test && !jpeg_test) return {};

  // The source's folder, held from before the read to the last write: every
  // name below is looked up in it, wherever it is moved meanwhile.
  const std::string folder_path = ExtractFilePath(path);
  const UniqueFd folder(
      ::open(folder_path.empty() ? "." : folder_path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!folder) throw Error("ファイル " + path + " を開けません。" + SystemReason(errno));
  // The source as it was before it was read: overwritten, it must still be
  // that file, not a newer one saved under its name while it converted.
  // Held open to the end, the source stays known to the kernel: a card's
  // file system (FAT, exFAT) numbers a file afresh each time it is read back
  // in, and a photo let go in the meantime would seem another file.
  const std::string name = ExtractFileName(path);
  const UniqueFd held(::openat(folder.get(), name.c_str(), O_PATH | O_CLOEXEC));
  struct stat read;
  const bool read_known = ::fstatat(folder.get(), name.c_str(), &read, 0) == 0;
  const std::optional<std::vector<std::uint8_t>> encoded =
      Reduced(folder.get(), path, quality, bitmap_test, jpeg_test, options);
  if (!encoded) return {};
  if (options.after_read) options.after_read();

  FreedesktopTrash real_trash;
  Trash& trash = options.trash ? *options.trash : real_trash;
  std::string output;
  if (!options.overwrite) {
    output = RemoveFileExt(path) + "_x.jpg";
    WriteOutput(folder.get(), output, path, *encoded, trash, /*own_name=*/true, /*chosen=*/true);
  }
  if (options.overwrite && bitmap_test)
    output = ReplaceBitmap(folder.get(), path, *encoded, trash, read_known ? &read : nullptr);
  if (options.overwrite && jpeg_test) {
    WriteOutput(folder.get(), path, path, *encoded, trash, /*own_name=*/false, /*chosen=*/false,
                read_known ? &read : nullptr);
    output = path;
  }
  return PathNow(folder.get(), output);
}

}  // namespace tam
