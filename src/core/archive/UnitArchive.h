#pragma once

#include "platform/StringList.h"

#include <cstdint>
#include <string>

// The archive side of a run and of a restore: packing listed files into zip volumes, the volumes' names, and
// taking chosen files back out of a volume. Main thread only; both operations let pending events through once per
// file or entry.

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
