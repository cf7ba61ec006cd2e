#pragma once

#include "platform/StringList.h"

#include <cstdint>
#include <string>
#include <vector>

// The archive side of a run and of a restore: packing listed files into zip volumes, the volumes' names, and
// taking chosen files back out of a volume. Main thread only; both operations let pending events through once per
// file or entry.

// A new volume begins before a file once the current one holds this many bytes of input.
inline constexpr std::int64_t VolumeThreshold = 2'000'000;

// Packs the listed files, in order, into zip volumes named after archiveName (VolumeFileName), each entry named
// by the file's full path. Without oneVolume a new volume begins before a file once the current volume holds
// VolumeThreshold bytes; files are never split. Shows the progress against the application object's run byte
// total, lets pending events through once per file and, while a large file is packed, every tenth of a second, and
// obeys the stop (TGlobalObject::StopRequested) between the blocks of a file, so a stop never waits for a whole
// file. Returns the number of volumes, and the list then holds two lines per file: its volume number and its path.
// Returns 0, with the list as it was, when there is no list, when it is empty ("Nothing to send." logged), when
// stopped, or after a failure ("Error:" and the message logged); every volume of the call is deleted then. No
// archive is left open.
std::int32_t CompressFiles(TStrings* list, const std::string& archiveName, bool oneVolume);

// The path of volume `volume` of an archive: the number in decimal in front of the archive's file name, in the
// same folder ("/tmp/Docs.zip", 12 gives "/tmp/12Docs.zip"; "Docs.zip", 3 gives "3Docs.zip").
std::string VolumeFileName(const std::string& archiveName, std::int32_t volume);

// One file of a backup's ".inf" list: the volume that holds it, its place among that volume's entries (0 for the
// first: the list gives each volume's files in packing order, which is the order of its entries) and its path.
struct TListedFile {
    std::int32_t Volume = 0;
    std::int32_t Position = 0;
    std::string Path;
};

// The files of a backup's list (two lines each: volume number, path), in list order. A line where a volume number
// should stand that is none is passed over, so the pairs after it are found again (a path split over two lines by a
// line break it held costs that file alone), and a volume number on the last line has no path; `error` then
// describes the first such line, and is empty for a list that parses whole.
std::vector<TListedFile> ParseBackupList(const TStrings& lines, std::string& error);

// Extracts from the zip file `zipPath` the wanted files of that volume (their Volume is not looked at): the entry
// at a wanted file's Position is written to its Path, making missing folders, and only when the entry's name is the
// one the zip writer gives that path. The name table of the zip writer gives several paths one name, so the name
// alone cannot tell which file an entry is; its place can. An entry is written to a temporary file beside its path
// and renamed over it only once its size and CRC-32 check out, so a damaged entry leaves the file at its path as
// it was. A file that replaces one takes that one's mode (and owner and group, where the process may set them); a
// new one has 0666 less the umask. Every step and every failed file is logged; false only when the zip file cannot
// be opened.
bool DecompressArchive(const std::string& zipPath, const std::vector<TListedFile>& wanted);
