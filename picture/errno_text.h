// SPDX-License-Identifier: MIT
#pragma once
// The Japanese text of the system's reasons a user of this program meets
// when files are read, written, renamed, linked or trashed, worded as the C
// library's Japanese messages are: the program speaks Japanese whatever the
// locale. Header only, so that the zip writer and the Impress plug-in, which
// does not link tam_picture, use the same words.
#include <cerrno>

namespace tam {

// The text for err, or null for an errno not in the table.
inline const char* ErrnoText(int err) noexcept {
  switch (err) {
    case EPERM:
      return "許可されていない操作です";
    case ENOENT:
      return "そのようなファイルやディレクトリはありません";
    case EINTR:
      return "割り込みシステムコールです";
    case EIO:
      return "入力/出力エラーです";
    case ENXIO:
      return "そのようなデバイスやアドレスはありません";
    case EBADF:
      return "不正なファイル記述子です";
    case EAGAIN:
      return "リソースが一時的に利用できません";
    case ENOMEM:
      return "メモリを確保できません";
    case EACCES:
      return "許可がありません";
    case EBUSY:
      return "デバイスもしくはリソースがビジー状態です";
    case EEXIST:
      return "ファイルが存在します";
    case EXDEV:
      return "無効なクロスデバイスリンクです";
    case ENODEV:
      return "そのようなデバイスはありません";
    case ENOTDIR:
      return "ディレクトリではありません";
    case EISDIR:
      return "ディレクトリです";
    case EINVAL:
      return "無効な引数です";
    case ENFILE:
      return "システム上で開いているファイルが多すぎます";
    case EMFILE:
      return "開いているファイルが多すぎます";
    case ETXTBSY:
      return "テキストファイルが使用中です";
    case EFBIG:
      return "ファイルが大きすぎます";
    case ENOSPC:
      return "デバイスに空き領域がありません";
    case ESPIPE:
      return "不正なシーク操作です";
    case EROFS:
      return "読み込み専用ファイルシステムです";
    case EMLINK:
      return "リンクが多すぎます";
    case EPIPE:
      return "パイプが切断されました";
    case ENAMETOOLONG:
      return "ファイル名が長すぎます";
    case ENOSYS:
      return "関数は実装されていません";
    case ENOTEMPTY:
      return "ディレクトリが空ではありません";
    case ELOOP:
      return "シンボリックリンクの階層が多すぎます";
    case EOVERFLOW:
      return "定義されたデータ型に対して値が大きすぎます";
    case ENOTSUP:
      return "サポートされていない操作です";
    case ESTALE:
      return "古いファイルハンドルです";
    case EDQUOT:
      return "ディスク使用量制限を超過しました";
    case ENOTCONN:
      return "トランスポートエンドポイントが接続されていません";
    case ENOMEDIUM:
      return "メディアが見つかりません";
    case EILSEQ:
      return "無効または不完全なマルチバイト文字またはワイド文字です";
    default:
      return nullptr;
  }
}

}  // namespace tam
