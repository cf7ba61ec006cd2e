#include "ZipTestTools.h"
#include "support/TempDir.h"
#include "zip/ZipArchive.h"

#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <unzip.h>

namespace {

struct UnzCloser {
    void operator()(unzFile file) const { unzClose(file); }
};

// Every entry of the archive as minizip reads it, in archive order, with minizip's CRC-32 check on each.
std::vector<std::pair<std::string, std::string>> ReadWithMinizip(const std::string& archive) {
    std::vector<std::pair<std::string, std::string>> entries;
    std::unique_ptr<void, UnzCloser> zip(unzOpen(archive.c_str()));
    if (!zip) {
        ADD_FAILURE() << "minizip cannot open " << archive;
        return entries;
    }
    for (int r = unzGoToFirstFile(zip.get()); r == UNZ_OK; r = unzGoToNextFile(zip.get())) {
        unz_file_info info{};
        char name[4096] = {};
        EXPECT_EQ(unzGetCurrentFileInfo(zip.get(), &info, name, sizeof name, nullptr, 0, nullptr, 0), UNZ_OK);
        EXPECT_EQ(unzOpenCurrentFile(zip.get()), UNZ_OK);
        std::string data(info.uncompressed_size + 1, '\0');
        const int n = unzReadCurrentFile(zip.get(), data.data(), static_cast<unsigned>(data.size()));
        EXPECT_EQ(n, static_cast<int>(info.uncompressed_size)) << name;
        data.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
        EXPECT_EQ(unzCloseCurrentFile(zip.get()), UNZ_OK) << "CRC-32 of " << name;
        entries.emplace_back(name, data);
    }
    return entries;
}

TEST(ZipInterop, ArchivesOpenInUnzipZipinfoMinizipAndPython) {
    TempDir dir;
    // Sizes around the 16 KiB block, text and incompressible data, an empty file, a name with a high byte.
    const std::map<std::string, std::string> files = {
        {dir / "empty", ""},
        {dir / "one", "x"},
        {dir / "block-1", RandomBytes(16383, 1)},
        {dir / "block", RandomBytes(16384, 2)},
        {dir / "block+1", std::string(16385, 'z')},
        {dir / "text.txt",
         [] {
             std::string t;
             for (int i = 0; t.size() < 300000; ++i) {
                 t += "line " + std::to_string(i * 37 % 1001) + " of the backup list\r\n";
             }
             return t;
         }()},
        {dir / "random.bin", RandomBytes(700000, 9)},
        {dir / "caf\xE9.doc", "named in code page 1252"},
    };
    const std::string archive = dir / "interop.zip";
    MakeZip(archive, "");
    std::vector<std::pair<std::string, std::string>> expected;
    for (const auto& [path, content] : files) {
        WriteFileBytes(path, content);
        AddZip(path);
        expected.emplace_back(ZipEntryName(path, ""), content);
    }
    AddZip(dir / "one"); // a name twice
    expected.emplace_back(dir / "one", "x");
    CloseZip();

    const CommandResult test = RunProgram({"unzip", "-t", archive});
    EXPECT_EQ(test.exitCode, 0) << test.output;
    EXPECT_NE(test.output.find("No errors detected in compressed data of " + archive), std::string::npos)
        << test.output;

    const CommandResult info = RunProgram({"zipinfo", archive});
    EXPECT_EQ(info.exitCode, 0) << info.output;
    EXPECT_NE(info.output.find(std::to_string(expected.size()) + " files, " + std::to_string([&] {
                                   std::size_t total = 0;
                                   for (const auto& e : expected) {
                                       total += e.second.size();
                                   }
                                   return total;
                               }()) +
                               " bytes uncompressed"),
              std::string::npos)
        << info.output;
    EXPECT_NE(info.output.find("700000 b- defX"), std::string::npos) << info.output;

    EXPECT_EQ(ReadWithMinizip(archive), expected);

    // Python decodes names without the UTF-8 flag as code page 437; its CRC-32 check runs on every read.
    const std::string script = "import sys, zipfile\n"
                               "z = zipfile.ZipFile(sys.argv[1])\n"
                               "assert z.testzip() is None\n"
                               "for i in z.infolist():\n"
                               "    data = z.read(i)\n"
                               "    assert len(data) == i.file_size\n"
                               "    sys.stdout.buffer.write(i.filename.encode('cp437') + b'\\t%d\\n' % len(data))\n";
    const CommandResult python = RunProgram({SystemPython, "-c", script, archive});
    ASSERT_EQ(python.exitCode, 0) << python.output;
    std::string listing;
    for (const auto& [name, content] : expected) {
        listing += name + "\t" + std::to_string(content.size()) + "\n";
    }
    EXPECT_EQ(python.output, listing);
}

} // namespace
