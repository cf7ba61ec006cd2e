#pragma once

#include "platform/DateTime.h"

#include <cstdint>
#include <string>
#include <sys/stat.h>

// DOS date-time as zip headers hold it: time in the low 16 bits (hour 15-11, minute 10-5, seconds / 2 in 4-0),
// date in the high 16 bits (year - 1980 in 15-9, month 8-5, day 4-0), in local time.
inline constexpr std::uint32_t InvalidDosDateTime = 0xFFFFFFFFu;

// Moments before 1980 or after 2107 cannot be written; they are held at the nearest end of the range rather than
// wrapped into a date that has nothing to do with the file.
std::uint32_t DateTimeToDosDateTime(TDateTime value);
// False when a field is out of range (InvalidDosDateTime among others).
bool DosDateTimeToDateTime(std::uint32_t dos, TDateTime& value);

// The last-write time of the file at path (links followed) in local time; InvalidDosDateTime when the path cannot
// be examined or is a folder.
std::uint32_t FileDosDateTime(const std::string& path);
// The same from what stat said of a file.
std::uint32_t FileDosDateTime(const struct stat& status);
// Sets the last-write time of the file; false when the value or the system refuses.
bool SetFileDosDateTime(const std::string& path, std::uint32_t dos);

// Seconds since 1970-01-01 00:00 UTC, as a gzip header holds them, and back. The conversion follows the local
// time zone with its daylight-saving rule at that moment. 0 stands for "no time".
std::uint32_t DosDateTimeToUnixTime(std::uint32_t dos);
std::uint32_t UnixTimeToDosDateTime(std::uint32_t seconds);
