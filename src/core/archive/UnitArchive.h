#pragma once

#include "platform/StringList.h"

#include <cstdint>
#include <string>

// The archive side of a run and of a restore: packing listed files into zip volumes, the volumes' names, and
// taking chosen files back out of a volume. Main thread only; both operations let pending events through once per
// file or entry.

// A new volume begins before a file once the current one holds this many bytes of input.
inline constexpr std::int64_t VolumeThreshold = 2'000'000;

// Packs the listed files, in order, into zip volumes named after archiveName (VolumeFileName), each entry named
// by the file's full path. Without oneVolume a new volume begins before a file once the current volume holds
// VolumeThreshold bytes; files are never split. Shows the progress against the application object's run byte
// total, lets pending events through once per file and obeys the stop flag after each file. Returns the number of
// volumes, and the list then holds two lines per file: its volume number and its path. Returns 0, with the list as
// it was, when there is no list, when it is empty ("Nothing to send." logged), when stopped, or after a failure
// ("Error:" and the message logged); every volume of the call is deleted then. No archive is left open.
std::int32_t CompressFiles(TStrings* list, const std::string& archiveName, bool oneVolume);

// The path of volume `volume` of an archive: the number in decimal in front of the archive's file name, in the
// same folder ("/tmp/Docs.zip", 12 gives "/tmp/12Docs.zip"; "Docs.zip", 3 gives "3Docs.zip").
std::string VolumeFileName(const std::string& archiveName, std::int32_t volume);

// Extracts from the zip file `zipPath` every entry whose name is one of the wanted paths and writes it to that
// path, making missing folders. A wanted path with bytes from 0x80 is found under the name the zip writer gives it
// and written to the wanted path itself; where several wanted paths share one such name, the archive's entries of
// that name go to them in list order. An entry is written to a temporary file beside its path and renamed over it
// only once its size and CRC-32 check out, so a damaged entry leaves the file at its path as it was. Every step
// and every failed entry is logged; false only when the zip file cannot be opened.
bool DecompressArchive(const std::string& zipPath, const TStrings& wanted);
