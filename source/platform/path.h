#pragma once

#include "platform/wintypes.h"

#include <string>
#include <utility>
#include <vector>

// The program builds its paths in Windows form ("C:\Users\u\NPKI",
// "D:\\NPKI\...", "\NPKI"). This is the one place where such a path becomes a
// path of the host: every call of the platform layer that touches the file
// system passes its path through here.
//
// Drive letters name host folders. The table comes from ZIMRACERT_DRIVES
// ("C=/some/dir;D=/other/dir", letters in any case, folders absolute).
// Without it, C: is the host root "/" and the folders of removable media
// under /media/<user>/ and /run/media/<user>/ take D:, E:, ... in name order.

// "X:\a\b" is the folder of drive X followed by a/b: "\" and "/" both
// separate, empty parts and "." are dropped, and ".." never climbs above the
// drive's folder. A path starting with "\" is on the current drive (that of
// HOMEDRIVE, else C:). A path starting with "/" is already a host path and
// only has its "\" turned into "/"; so is a relative path. A drive missing
// from the table gives "", which every file call fails on with ENOENT.
std::string HostPath(const std::string& programPath);

// True when what `programPath` names lies within the folder `folderPath`
// names (that folder or below it), both taken where the host really puts
// them: the longest part of each path that exists, a link at its end
// included, with every link resolved, and the rest as written. False when
// that part does not resolve (a link to nothing, a loop), when the rest
// climbs with "..", or when either path names no absolute host path (a
// missing drive, a relative path).
bool ResolvesWithin(const std::string& programPath, const std::string& folderPath);

// The drive table in letter order: (upper-case letter, host folder).
std::vector<std::pair<char, std::string>> LogicalDrives();

// Tests name the folders whose sub-folders are taken as mounted media in
// place of /media/<user> and /run/media/<user>; an empty list goes back to
// those.
void SetMediaFolders(std::vector<std::string> parents);

// Each drive as "X:\" and a terminator, then one more terminator. Returns the
// units written without the last terminator, or, when the buffer is too
// small, the units needed with it.
DWORD GetLogicalDriveStringsW(DWORD bufferLength, char16_t* buffer);
