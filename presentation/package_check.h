// SPDX-License-Identifier: MIT
#pragma once
// What a file already under a presentation's save name is: an earlier
// presentation, which a save simply replaces, or somebody's data of another
// kind (a photo, a text, a zip of photos, a word processor's document).
#include <string>

namespace tam::pres {

// Whether path names a regular file holding a presentation package: a zip
// archive whose central directory lists [Content_Types].xml and
// ppt/presentation.xml, as this program, PowerPoint and LibreOffice write
// it. Only the archive's end and its directory are read, each within a
// fixed bound; an archive that is damaged, or whose offsets and counts do
// not fit the file, is no presentation.
bool IsPresentationFile(const std::string& path);

// Whether the file at path is a regular file that is no presentation: data
// of another kind, never an earlier presentation. So is one this user may
// not read; one that fails otherwise is not judged (false), nor is anything
// that is no regular file.
bool IsForeignFile(const std::string& path);

}  // namespace tam::pres
