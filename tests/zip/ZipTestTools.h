#pragma once

#include "support/Command.h"

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

// Helpers of the zip and gzip tests: running the real tools, running a piece of a test in a child process, and
// taking a zip archive apart by its headers.

struct CommandResult {
    int exitCode = -1;  // -1 when the program could not run or was stopped at the deadline
    std::string output; // standard output and standard error together
};

// Runs argv[0] (searched on PATH) with a bounded wait; standard input is empty.
CommandResult RunProgram(const std::vector<std::string>& argv, int timeoutSeconds = 120);

// The interpreter that has the test peers' modules, never the one first on PATH.
inline const char* const SystemPython = "/usr/bin/python3";

struct LocalHeader {
    std::uint32_t signature, crc, compressedSize, uncompressedSize, dosDateTime;
    std::uint16_t versionNeeded, flags, method, nameLength, extraLength;
    std::string name;
    std::string extra;
    std::int64_t offset;    // of the header
    std::int64_t dataStart; // of the first data byte
};

struct CentralHeader {
    std::uint32_t signature, dosDateTime, crc, compressedSize, uncompressedSize, externalAttributes, headerOffset;
    std::uint16_t versionMadeBy, versionNeeded, flags, method, nameLength, extraLength, commentLength, diskStart,
        internalAttributes;
    std::string name;
    std::string extra;
    // The values themselves: a field's own, or where it holds 0xFFFFFFFF, the next one of the Zip64 extra field.
    std::uint64_t size, compressed, offset;
};

struct EndRecord {
    std::uint32_t signature, directorySize, directoryOffset;
    std::uint16_t disk, directoryDisk, entriesOnDisk, entries, commentLength;
};

// The Zip64 end record and its locator, when the end record has a locator before it.
struct Zip64EndRecord {
    bool present = false;
    std::uint64_t recordOffset = 0; // where the locator says the record is
    std::uint32_t locatorDisk = 0, totalDisks = 0;
    std::uint32_t signature = 0, disk = 0, directoryDisk = 0;
    std::uint64_t recordSize = 0, entriesOnDisk = 0, entries = 0, directorySize = 0, directoryOffset = 0;
    std::uint16_t versionMadeBy = 0, versionNeeded = 0;
};

// An archive taken apart: the end record from the last 22 bytes, the Zip64 end record when a locator stands
// before it, the directory they point to, and the local header each directory entry points to. Fails the current
// test on a malformed structure.
struct ParsedZip {
    EndRecord end{};
    Zip64EndRecord end64;
    std::vector<CentralHeader> central;
    std::vector<LocalHeader> local;
};
ParsedZip ParseZip(const std::string& bytes);
// The same from the file, reading only the records: for archives too large to hold in memory.
ParsedZip ParseZipFile(const std::string& path);
LocalHeader ParseLocalHeader(const std::string& bytes, std::int64_t offset);

std::uint32_t Crc32Of(const std::string& bytes);
// Raw deflate data as zlib makes them with window bits -15 and memory level 8 in one pass.
std::string RawDeflate(const std::string& data, int level, int strategy = 0);
// Expands raw deflate data.
std::string Inflate(const std::string& data);

// A moment of local time, and the modification time of a file.
std::time_t LocalMoment(int year, int month, int day, int hour, int minute, int second);
void SetModificationTime(const std::string& path, std::time_t seconds);
std::time_t ModificationTime(const std::string& path);
unsigned PermissionBits(const std::string& path);
