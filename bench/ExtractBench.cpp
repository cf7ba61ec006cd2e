// Restoring every file of one volume: DecompressArchive against Info-ZIP's unzip -o -q writing the same entries to
// the same paths over the same files. Ours checks each entry in a file beside its path before renaming it into
// place, logs a line per file and lets events through once per entry; it should cost about what unzip costs. The
// two sides take turns, so that a passing load of the machine falls on both, and the median of the pairs' ratios
// is the result.

#include "core/app/UnitGo.h"
#include "core/archive/UnitArchive.h"
#include "support/BenchSupport.h"

#include <QCoreApplication>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
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

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// Packs the files into one volume and times its extraction both ways; prints the ratio.
void Compare(const std::string& title, const std::vector<std::string>& files, std::uint64_t bytes,
             const std::string& archive, int pairs, double goal) {
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
    std::vector<double> ours;
    std::vector<double> theirs;
    std::vector<double> ratios;
    for (int pair = 0; pair < std::max(pairs, 1); ++pair) {
        // Who goes first changes too: the second of a pair finds the disk busier with the first one's writes.
        if (pair % 2 == 0) {
            ours.push_back(TimeOurs(volume, wanted));
            theirs.push_back(TimeUnzip(volume));
        } else {
            theirs.push_back(TimeUnzip(volume));
            ours.push_back(TimeOurs(volume, wanted));
        }
        ratios.push_back(ours.back() / theirs.back());
        std::printf("  pair %d: DecompressArchive %.3f s, unzip %.3f s, ratio %.3f\n", pair + 1, ours.back(),
                    theirs.back(), ratios.back());
        std::fflush(stdout);
    }
    const double median = Median(ours);
    const double medianUnzip = Median(theirs);
    std::printf("  DecompressArchive: %.3f s, %.1f MB/s, %.2f us a file (median)\n", median,
                MegabytesPerSecond(bytes, median), median * 1e6 / static_cast<double>(files.size()));
    std::printf("  unzip -o -q:       %.3f s, %.1f MB/s, %.2f us a file (median)\n", medianUnzip,
                MegabytesPerSecond(bytes, medianUnzip), medianUnzip * 1e6 / static_cast<double>(files.size()));
    std::printf("  median of the pairs' ratios: %.3f\n", Median(ratios));
    // The ratio is the pairs' median; the time beside it is that ratio of unzip's median.
    PrintRatio("extraction, " + title, Median(ratios) * medianUnzip, "unzip -o -q", medianUnzip, goal);
    ::unlink(volume.c_str());
}

// count files of 0 to 2,048 bytes, the same every time, ten to a folder in a tree as a home folder's: a few levels
// down to where it branches, then folders of ten folders each, five levels deep.
std::vector<std::string> MakeSmallFiles(const std::string& root, int count, std::uint64_t& bytes) {
    std::mt19937 random(3);
    std::uniform_int_distribution<int> size(0, 2048);
    std::vector<std::string> files;
    for (int i = 0; i < count; ++i) {
        std::string branches;
        for (int level = 0, rest = i / 10; level < 5; ++level, rest /= 10) {
            branches.insert(0, "d" + std::to_string(rest % 10) + "/");
        }
        const std::string folder = root + "/home/ann/projects/" + branches;
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

// As many as a home folder of documents and sources holds; the count an environment may lower for a quick look.
const int SmallFiles = [] {
    const char* count = std::getenv("CORVANE_BENCH_SMALL_FILES");
    return count != nullptr && std::atoi(count) > 0 ? std::atoi(count) : 200'000;
}();

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
        Compare("mixed data set", mixed, set.totalBytes, temp / "Mixed__05_17_05_10-00-00.zip", options.runs, 1.10);
        // Many small files: what each entry costs beyond its bytes (a file beside the target, a log line, events,
        // the walk to its folder).
        std::uint64_t smallBytes = 0;
        const std::vector<std::string> small = MakeSmallFiles(temp / "small", SmallFiles, smallBytes);
        Compare("200,000 small files in a deep tree", small, smallBytes, temp / "Small__05_17_05_10-00-00.zip",
                options.runs, 1.20);
        DestroyGlobalObject();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "extraction benchmark failed: %s\n", error.what());
        return 1;
    }
    return 0;
}
