// The listing of a run over many small files in nested folders. First the full listing of 100,000 files against
// find printing every file's size, the least any scan must do. Then the incremental listing against its last
// snapshot at 10,000 and at 100,000 files: the comparison looks every path up in an index, so ten times the files
// should cost about ten times the time.
//
// The file counts are fixed; --size-mb is accepted for the common command line and not used.

#include "core/app/UnitGo.h"
#include "core/archive/UnitListing.h"
#include "support/BenchSupport.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>

namespace {

constexpr int FilesPerFolder = 50;

// count small files (0 to 512 bytes) in folders three levels deep, 50 to a folder, the same for the same seed.
void MakeTree(const std::string& root, int count, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> size(0, 512);
    const std::string bytes(512, 'x');
    for (int made = 0, folder = 0; made < count; ++folder) {
        const std::string path = root + "/" + std::to_string(folder / 100) + "/" + std::to_string(folder / 10 % 10) +
                                 "/" + std::to_string(folder % 10) + "/";
        std::filesystem::create_directories(path);
        for (int i = 0; i < FilesPerFolder && made < count; ++i, ++made) {
            std::ofstream out(path + "file" + std::to_string(i) + ".txt", std::ios::binary);
            out.write(bytes.data(), size(random));
            if (!out) {
                throw std::runtime_error("cannot write under " + path);
            }
        }
    }
}

double TimeFind(const std::string& root) {
    const Stopwatch watch;
    if (std::system(("find " + root + " -type f -printf '%s\\n' >/dev/null").c_str()) != 0) {
        throw std::runtime_error("find failed");
    }
    return watch.Seconds();
}

// One incremental listing of a task whose snapshot is its previous listing, timed.
double TimeIncremental(TGroup& task, std::size_t expected) {
    TStringList list;
    const Stopwatch watch;
    task.ListChangedFiles(list);
    const double seconds = watch.Seconds();
    if (task.Snapshot.size() != expected || !list.Empty()) {
        throw std::runtime_error("the incremental listing found changes in an unchanged tree");
    }
    return seconds;
}

} // namespace

int main(int argc, char** argv) {
    const BenchOptions options = ParseBenchOptions(argc, argv, 0);
    try {
        // In memory: 110,000 files are made there in a few seconds instead of a minute on a loaded disk, and both
        // sides list them from the caches alike, as the warm passes below make them on a disk too.
        BenchTempDir temp(true);
        SetGlobalObjectOptions({nullptr, temp.Path()});
        GetGlobalObject();
        const Stopwatch generation;
        MakeTree(temp / "large", 100'000, 1);
        MakeTree(temp / "small", 10'000, 2);
        std::printf("listing benchmark: 100,000 and 10,000 files of 0 to 512 bytes, %d to a folder, made in %.1f s\n",
                    FilesPerFolder, generation.Seconds());

        TGroup large;
        large.AddFolder(std::make_unique<TFolder>(temp / "large/"));
        TGroup small;
        small.AddFolder(std::make_unique<TFolder>(temp / "small/"));
        // Untimed first passes read the folders into the cache for both sides alike.
        TStringList warm;
        large.ListAllFiles(warm);
        small.ListAllFiles(warm);
        TimeFind(temp / "large");

        // Each side's sample repeats its listing for about two seconds; the sides alternate in pairs and the median
        // of the pairs' ratios counts.
        const auto full = [&] {
            TStringList list;
            const Stopwatch watch;
            large.ListAllFiles(list);
            const double seconds = watch.Seconds();
            if (list.Count() != 100'000) {
                throw std::runtime_error("the listing missed files");
            }
            return seconds;
        };
        const auto find = [&] { return TimeFind(temp / "large"); };
        const int fullRepeats = RepeatsForSeconds(std::min(full(), find()), 2.0);
        PrintPairedRatio("full listing",
                         TimePairs(options.runs, Repeated(fullRepeats, full), Repeated(fullRepeats, find)),
                         "find -type f -printf %s over 100,000 files", 0.0);

        // The two sizes take turns, as the two sides of every benchmark do: a run of the small tree right after
        // another would find all of it still in the processor's caches, which a run of the large one cannot, and
        // which no backup run, hours after the last, does either. A sample of each size lasts about two seconds,
        // its time given per listing.
        const auto perListing = [](double once, const std::function<double()>& listing) {
            const int repeats = RepeatsForSeconds(once, 2.0);
            return [repeats, sample = Repeated(repeats, listing)] { return sample() / repeats; };
        };
        const auto incrementalSmall = [&] { return TimeIncremental(small, 10'000); };
        const auto incrementalLarge = [&] { return TimeIncremental(large, 100'000); };
        PrintPairedRatio("incremental listing, 100,000 files against 10,000",
                         TimePairs(options.runs, perListing(incrementalLarge(), incrementalLarge),
                                   perListing(incrementalSmall(), incrementalSmall)),
                         "10,000 files", 12.0);
        DestroyGlobalObject();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "listing benchmark failed: %s\n", error.what());
        return 1;
    }
    return 0;
}
