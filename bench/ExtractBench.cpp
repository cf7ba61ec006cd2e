// Restoring every file of one volume: DecompressArchive against Info-ZIP's unzip -o -q writing the same entries to
// the same paths over the same files. Ours checks each entry in a file beside its path before renaming it into
// place, logs a line per file and lets events through once per entry; it should cost about what unzip costs.

#include "core/app/UnitGo.h"
#include "core/archive/UnitArchive.h"
#include "support/BenchSupport.h"

#include <QCoreApplication>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

double TimeUnzip(const std::string& volume) {
    ::sync();
    const Stopwatch watch;
    // The entries hold absolute paths; unzip takes them relative to -d and says so with a warning (status 1).
    const int status = std::system(("unzip -o -q " + volume + " -d / 2>/dev/null").c_str());
    const double seconds = watch.Seconds();
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) > 1) {
        throw std::runtime_error("unzip failed on " + volume);
    }
    return seconds;
}

double TimeOurs(const std::string& volume, const std::vector<TListedFile>& wanted) {
    ::sync();
    const Stopwatch watch;
    if (!DecompressArchive(volume, wanted)) {
        throw std::runtime_error("DecompressArchive could not open " + volume);
    }
    return watch.Seconds();
}

// Packs the files into one volume and times its extraction both ways; prints the ratio.
void Compare(const std::string& title, const std::vector<std::string>& files, std::uint64_t bytes,
             const std::string& archive, int runs) {
    TStringList list;
    for (const std::string& file : files) {
        list.Add(file);
    }
    GetGlobalObject()->RunByteTotal = static_cast<std::int64_t>(bytes);
    if (CompressFiles(&list, archive, true) != 1) {
        throw std::runtime_error("CompressFiles failed");
    }
    std::vector<std::string> errors;
    const std::vector<TListedFile> wanted = ParseBackupList(list, errors);
    const std::string volume = VolumeFileName(archive, 0);
    struct stat st {};
    ::stat(volume.c_str(), &st);
    std::printf("%s: one volume of %zu files, %s in, %s packed\n", title.c_str(), files.size(),
                Megabytes(bytes).c_str(), Megabytes(static_cast<std::uint64_t>(st.st_size)).c_str());

    // Untimed first passes, so that both sides find the volume in the cache and the files in place.
    TimeOurs(volume, wanted);
    TimeUnzip(volume);
    double best = std::numeric_limits<double>::max();
    double bestUnzip = std::numeric_limits<double>::max();
    for (int run = 0; run < runs; ++run) {
        bestUnzip = std::min(bestUnzip, TimeUnzip(volume));
        best = std::min(best, TimeOurs(volume, wanted));
    }
    std::printf("  DecompressArchive: %.3f s, %.1f MB/s\n", best, MegabytesPerSecond(bytes, best));
    std::printf("  unzip -o -q:       %.3f s, %.1f MB/s\n", bestUnzip, MegabytesPerSecond(bytes, bestUnzip));
    PrintRatio("extraction, " + title, best, "unzip -o -q", bestUnzip, 1.10);
    ::unlink(volume.c_str());
}

// count files of 0 to 2,048 bytes, 100 to a folder; the same every time.
std::vector<std::string> MakeSmallFiles(const std::string& root, int count, std::uint64_t& bytes) {
    std::mt19937 random(3);
    std::uniform_int_distribution<int> size(0, 2048);
    std::vector<std::string> files;
    for (int i = 0; i < count; ++i) {
        const std::string folder = root + "/" + std::to_string(i / 100) + "/";
        std::filesystem::create_directories(folder);
        const std::string path = folder + "note" + std::to_string(i) + ".txt";
        std::ofstream out(path, std::ios::binary);
        const std::string text(static_cast<std::size_t>(size(random)), static_cast<char>('a' + i % 26));
        out << text;
        bytes += text.size();
        files.push_back(path);
    }
    return files;
}

} // namespace

int main(int argc, char** argv) {
    const BenchOptions options = ParseBenchOptions(argc, argv, 64);
    QCoreApplication application(argc, argv);
    try {
        BenchTempDir temp;
        SetGlobalObjectOptions({nullptr, temp.Path()});
        GetGlobalObject();
        const DataSet set = GenerateMixedDataSet(temp / "data", options.sizeMb * 1024 * 1024, 20240602);
        std::vector<std::string> mixed;
        for (const DataSetFile& file : set.files) {
            mixed.push_back(file.path);
        }
        Compare("mixed data set", mixed, set.totalBytes, temp / "Mixed__05_17_05_10-00-00.zip", options.runs);
        // Many small files: what each entry costs beyond its bytes (a file beside the target, a log line, events).
        std::uint64_t smallBytes = 0;
        const std::vector<std::string> small = MakeSmallFiles(temp / "small", 5000, smallBytes);
        Compare("5,000 small files", small, smallBytes, temp / "Small__05_17_05_10-00-00.zip", options.runs);
        DestroyGlobalObject();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "extraction benchmark failed: %s\n", error.what());
        return 1;
    }
    return 0;
}
