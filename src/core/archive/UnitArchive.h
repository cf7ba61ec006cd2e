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

// Removes from the temporary folder (GetTempDir) what runs that were killed left there: the user's own regular files
// of the form of a run's volumes ("<number><task>__yy_dd_mm_hh-nn-ss.zip", also with ".crt"), plain copies of the
// user's files, except those of a set whose ".inf" list is there (a run keeps its list and volumes on purpose when
// the list's upload fails; a killed run has either not yet written its list or already sent and removed it). Only
// while no run can be making them: its program holds the locks that keep a second copy out. The work files of a
// restore (downloaded and decrypted volumes) and of a list's download go as well.
void RemoveRunLeftovers();

// One file of a backup's ".inf" list: the volume that holds it, its place among that volume's entries (0 for the
// first: the list gives each volume's files in packing order, which is the order of its entries), its path, and how
// many files the list gives its volume. Position is -1 where the place is not known: after a line of the list that
// does not parse, every later place may be off by the lost line, and so may the pair just before it (a line added or
// lost inside a pair shows only at the next line); a path that one volume lists twice has two entries of one name.
struct TListedFile {
    std::int32_t Volume = 0;
    std::int32_t Position = 0;
    std::string Path;
    std::int32_t VolumeFiles = 0;
};

// The deepest listed path that a restore takes: no path within PATH_MAX has more pieces, and the tree of a deeper
// one would take the window's stack with it when it goes.
inline constexpr std::size_t MaxListedPieces = 2048;

// Whether a listed path can be one of a backup's files: absolute, with no empty, "." or ".." piece and no NUL. The
// list comes from the server; a path that is not its own full path could name a file that it does not show.
bool IsListedFilePath(const std::string& path);

// The files of a backup's list (two lines each: volume number, path), in list order. A leading UTF-8 byte-order
// mark, as an editor may leave, is read past. A line where a volume number should stand that is none is passed
// over, so the pairs after it are found again (a path split over two lines by a line break it held costs that file
// alone), and a volume number on the last line has no path; one text in `errors` describes the first such line, and
// the places of the files after it are unknown. A path that IsListedFilePath refuses is left out, one text each,
// yet keeps its place, as does a path of more than MaxListedPieces pieces. `errors` is empty for a list that parses
// whole and names only sound paths; the texts show the server's control characters escaped and long lines cut.
// Time and memory grow with the list's size alone, whatever its lines hold.
std::vector<TListedFile> ParseBackupList(const TStrings& lines, std::vector<std::string>& errors);

// Extracts from the zip file `zipPath` the wanted files of that volume (their Volume is not looked at), each only
// when its entry is known for certain: the volume must hold as many entries as the list gives it; then a file is
// found by its place, where the list gave one and the entry there has the name the zip writer gives the path, and
// otherwise by that name alone, when exactly one entry of the volume has it. The name table of the zip writer gives
// several paths one name, so the name alone cannot always tell which file an entry is; its place can. A file whose
// entry is not known is left as it was, with an error line. An entry is written to a temporary file beside its path and
// renamed over it only once its size and CRC-32 check out, so a damaged entry leaves the file at its path as it was.
// The path is walked one folder at a time from the root (on from the deepest folder it shares with the path of the
// entry before), and missing folders are made on the way; a symbolic link
// on the way is followed only when it belongs to the restoring user or to root, else the file is left out with an
// error line naming the link. Only a regular file at the path itself lends the new file its owner, group and mode
// (less the set-user-id and set-group-id bits); otherwise the new one has 0666 less the umask and a link there is
// replaced, never followed. Every step and every failed file is logged, the volume named `volumeName` (its path
// when empty); false only when the zip file cannot be opened.
bool DecompressArchive(const std::string& zipPath, const std::vector<TListedFile>& wanted,
                       const std::string& volumeName = {});
