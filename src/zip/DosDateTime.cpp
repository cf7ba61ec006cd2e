#include "DosDateTime.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

std::uint32_t DateTimeToDosDateTime(TDateTime value) {
    DateParts date = DecodeDate(value);
    TimeParts time = DecodeTime(value);
    if (date.year < 1980) {
        date = DateParts{1980, 1, 1};
        time = TimeParts{};
    } else if (date.year > 2107) {
        date = DateParts{2107, 12, 31};
        time = TimeParts{23, 59, 58, 0};
    }
    const auto dosDate = static_cast<std::uint32_t>(((date.year - 1980) << 9) | (date.month << 5) | date.day);
    const auto dosTime = static_cast<std::uint32_t>((time.hour << 11) | (time.minute << 5) | (time.second / 2));
    return (dosDate << 16) | dosTime;
}

bool DosDateTimeToDateTime(std::uint32_t dos, TDateTime& value) {
    const int year = static_cast<int>((dos >> 25) & 0x7F) + 1980;
    const int month = static_cast<int>((dos >> 21) & 0x0F);
    const int day = static_cast<int>((dos >> 16) & 0x1F);
    const int hour = static_cast<int>((dos >> 11) & 0x1F);
    const int minute = static_cast<int>((dos >> 5) & 0x3F);
    const int second = static_cast<int>(dos & 0x1F) * 2;
    if (!IsValidDate(year, month, day) || hour > 23 || minute > 59 || second > 59) {
        return false;
    }
    value = EncodeDateTime(DateParts{year, month, day}, TimeParts{hour, minute, second, 0});
    return true;
}

std::uint32_t FileDosDateTime(const std::string& path) {
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0) {
        return InvalidDosDateTime;
    }
    return FileDosDateTime(st);
}

std::uint32_t FileDosDateTime(const struct stat& status) {
    if (S_ISDIR(status.st_mode)) {
        return InvalidDosDateTime;
    }
    return DateTimeToDosDateTime(DateTimeFromUnix(status.st_mtim.tv_sec));
}

bool SetFileDosDateTime(const std::string& path, std::uint32_t dos) {
    TDateTime value = 0;
    if (!DosDateTimeToDateTime(dos, value)) {
        return false;
    }
    struct timespec times[2]{};
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = DateTimeToUnix(value);
    return ::utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

std::uint32_t DosDateTimeToUnixTime(std::uint32_t dos) {
    TDateTime value = 0;
    if (!DosDateTimeToDateTime(dos, value)) {
        return 0;
    }
    const std::time_t seconds = DateTimeToUnix(value);
    return static_cast<std::uint32_t>(std::clamp<std::time_t>(seconds, 0, 0xFFFFFFFF));
}

std::uint32_t UnixTimeToDosDateTime(std::uint32_t seconds) {
    return DateTimeToDosDateTime(DateTimeFromUnix(static_cast<std::time_t>(seconds)));
}
