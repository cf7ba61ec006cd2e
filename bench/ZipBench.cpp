// Packing a mixed data set with MakeZip/AddZip/CloseZip against a plain loop that streams the same files through
// zlib's raw deflate with the same settings and blocks: what the archive writer costs beyond the compression
// itself. Info-ZIP's zip -6 on the same files is printed beside it for orientation.

#include "support/BenchSupport.h"
#include "zip/ZipArchive.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::uint64_t FileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

void PackWithArchiveWriter(const DataSet& set, const std::string& archive) {
    MakeZip(archive, "");
    for (const DataSetFile& file : set.files) {
        AddZip(file.path);
    }
    CloseZip();
}

// Info-ZIP's zip at level 6, the file list on its standard input; seconds, or a negative value when it is missing.
double TimeInfoZip(const DataSet& set, const std::string& archive) {
    if (std::system("command -v zip >/dev/null 2>&1") != 0) {
        return -1;
    }
    const Stopwatch watch;
    FILE* pipe = ::popen(("zip -6 -q -X " + archive + " -@").c_str(), "w");
    if (pipe == nullptr) {
        return -1;
    }
    for (const DataSetFile& file : set.files) {
        std::fprintf(pipe, "%s\n", file.path.c_str());
    }
    return ::pclose(pipe) == 0 ? watch.Seconds() : -1;
}

} // namespace

int main(int argc, char** argv) {
    // Five pairs: the goal leaves 5 %, about what one loaded pair of seven-second samples moves.
    const BenchOptions options = ParseBenchOptions(argc, argv, 128, 5);
    try {
        BenchTempDir temp;
        const Stopwatch generation;
        const DataSet set = GenerateMixedDataSet(temp / "data", options.sizeMb * 1024 * 1024, 20240601);
        std::printf("zip writer benchmark: %zu files, %s (text %s, structured binary %s, random %s), made in %.1f s\n",
                    set.files.size(), Megabytes(set.totalBytes).c_str(), Megabytes(set.BytesOf(DataKind::Text)).c_str(),
                    Megabytes(set.BytesOf(DataKind::Binary)).c_str(), Megabytes(set.BytesOf(DataKind::Random)).c_str(),
                    generation.Seconds());

        std::uint64_t deflated = 0;
        // Taking turns spreads any drift of the machine over both sides; the median of the pairs counts.
        const PairedTimes times = TimePairs(
            options.runs,
            [&] {
                const Stopwatch ours;
                PackWithArchiveWriter(set, temp / "ours.zip");
                return ours.Seconds();
            },
            [&] {
                const Stopwatch reference;
                deflated = DeflateLoop(set, temp / "reference.deflate");
                const double seconds = reference.Seconds();
                ::unlink((temp / "reference.deflate").c_str());
                return seconds;
            });
        const double medianOurs = times.MedianOurs();
        const double medianReference = times.MedianReference();
        const std::uint64_t archiveSize = FileSize(temp / "ours.zip");
        ::unlink((temp / "ours.zip").c_str());
        std::printf("  MakeZip/AddZip/CloseZip: %.3f s, %.1f MB/s, archive %s\n", medianOurs,
                    MegabytesPerSecond(set.totalBytes, medianOurs), Megabytes(archiveSize).c_str());
        std::printf("  zlib raw deflate loop:   %.3f s, %.1f MB/s, deflate data %s (archive headers add %s)\n",
                    medianReference, MegabytesPerSecond(set.totalBytes, medianReference), Megabytes(deflated).c_str(),
                    Megabytes(archiveSize - deflated).c_str());
        const double infoZip = TimeInfoZip(set, temp / "infozip.zip");
        if (infoZip >= 0) {
            std::printf("  Info-ZIP zip -6:         %.3f s, %.1f MB/s, archive %s (%.3f of the deflate loop)\n",
                        infoZip, MegabytesPerSecond(set.totalBytes, infoZip),
                        Megabytes(FileSize(temp / "infozip.zip")).c_str(), infoZip / medianReference);
        } else {
            std::printf("  Info-ZIP zip -6:         not available\n");
        }
        PrintPairedRatio("zip writer", times, "the zlib raw deflate loop", 1.05);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "zip writer benchmark failed: %s\n", error.what());
        return 1;
    }
    return 0;
}
