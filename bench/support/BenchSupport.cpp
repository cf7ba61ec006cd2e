#include "BenchSupport.h"

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <netinet/in.h>
#include <random>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>
#include <zlib.h>

namespace {

// splitmix64: fast, seedable and good enough to make bytes that deflate cannot shrink.
class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed) {}
    std::uint64_t Next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // Uniform in [0, n).
    std::uint64_t Below(std::uint64_t n) { return n == 0 ? 0 : Next() % n; }
    double Unit() { return static_cast<double>(Next() >> 11) / 9007199254740992.0; }

private:
    std::uint64_t state_;
};

std::vector<std::string> MakeVocabulary(Random& random) {
    static const char* const Syllables[] = {"ba", "ck", "up", "ar", "chi", "ve", "vo",  "lu",  "me", "ta", "sk",
                                            "fi", "le", "en", "tr", "on",  "st", "or",  "de",  "re", "in", "al",
                                            "co", "mp", "ex", "pa", "th",  "er", "ing", "ion", "s",  "e"};
    std::vector<std::string> words;
    for (int i = 0; i < 3000; ++i) {
        std::string word;
        const int pieces = 1 + static_cast<int>(random.Below(4));
        for (int p = 0; p < pieces; ++p) {
            word += Syllables[random.Below(std::size(Syllables))];
        }
        words.push_back(word);
    }
    return words;
}

// Lines of words drawn with a skewed frequency, as prose and logs have, with numbers now and then.
void FillText(std::string& out, std::size_t size, Random& random, const std::vector<std::string>& words) {
    out.clear();
    std::size_t lineLength = 0;
    while (out.size() < size) {
        // The cube of a uniform draw favours the first words of the list.
        const double u = random.Unit();
        const auto index = static_cast<std::size_t>(u * u * u * static_cast<double>(words.size()));
        if (random.Below(12) == 0) {
            out += std::to_string(random.Below(100000));
        } else {
            out += words[index];
        }
        lineLength += 8;
        if (lineLength > 40 + random.Below(60)) {
            out += "\r\n";
            lineLength = 0;
        } else {
            out += ' ';
        }
    }
    out.resize(size);
}

// Fixed 32-byte records: a rising id and time stamp, a slowly varying measurement, a category from a short list,
// a name from a small table and zero padding.
void FillBinary(std::string& out, std::size_t size, Random& random) {
    static const char Names[][9] = {"sensor_a", "sensor_b", "pump_01 ", "valve_07", "meter_3 ", "gate_12 "};
    out.clear();
    out.reserve(size + 32);
    std::uint32_t id = static_cast<std::uint32_t>(random.Below(1000000));
    std::uint32_t stamp = 1600000000u + static_cast<std::uint32_t>(random.Below(100000000));
    double value = 100.0 * random.Unit();
    while (out.size() < size) {
        char record[32] = {};
        id += 1;
        stamp += 1 + static_cast<std::uint32_t>(random.Below(5));
        value += (random.Unit() - 0.5) * 0.75;
        const auto measured = static_cast<float>(value);
        const auto category = static_cast<std::uint16_t>(random.Below(6));
        std::memcpy(record, &id, 4);
        std::memcpy(record + 4, &stamp, 4);
        std::memcpy(record + 8, &measured, 4);
        std::memcpy(record + 12, &category, 2);
        std::memcpy(record + 14, Names[category], 8);
        out.append(record, sizeof record);
    }
    out.resize(size);
}

void FillRandom(std::string& out, std::size_t size, Random& random) {
    out.resize((size + 7) / 8 * 8);
    for (std::size_t i = 0; i < out.size(); i += 8) {
        const std::uint64_t v = random.Next();
        std::memcpy(out.data() + i, &v, 8);
    }
    out.resize(size);
}

std::uint64_t DrawSize(Random& random) {
    const std::uint64_t pick = random.Below(100);
    if (pick < 3) {
        return 0;
    }
    if (pick < 8) {
        // Around the 16 KiB blocks the writers read in.
        return 16384 * (1 + random.Below(4)) + random.Below(3) - 1;
    }
    // Log-uniform between 16 bytes and 4 MiB: many small files, most bytes in the larger ones.
    const double low = std::log(16.0);
    const double high = std::log(4.0 * 1024 * 1024);
    return static_cast<std::uint64_t>(std::exp(low + random.Unit() * (high - low)));
}

void KillChild(int& pid) {
    if (pid > 0) {
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
        pid = -1;
    }
}

bool PortAccepts(const std::string& host, int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, host.c_str(), &address.sin_addr);
    const bool ok = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (fd >= 0) {
        ::close(fd);
    }
    return ok;
}

int FreePort(const std::string& host) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    ::inet_pton(AF_INET, host.c_str(), &address.sin_addr);
    socklen_t length = sizeof address;
    const bool ok = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    if (fd >= 0) {
        ::close(fd);
    }
    if (!ok) {
        throw std::runtime_error("no free port on " + host);
    }
    return ntohs(address.sin_port);
}

} // namespace

std::uint64_t DataSet::BytesOf(DataKind kind) const {
    std::uint64_t total = 0;
    for (const DataSetFile& file : files) {
        if (file.kind == kind) {
            total += file.size;
        }
    }
    return total;
}

DataSet GenerateMixedDataSet(const std::string& folder, std::uint64_t totalBytes, std::uint32_t seed) {
    Random random(seed);
    const std::vector<std::string> words = MakeVocabulary(random);
    DataSet set;
    std::string content;
    std::filesystem::create_directories(folder);
    while (set.totalBytes < totalBytes) {
        const std::uint64_t size = std::min(DrawSize(random), totalBytes - set.totalBytes);
        const std::uint64_t pick = random.Below(100);
        const DataKind kind = pick < 40 ? DataKind::Text : pick < 75 ? DataKind::Binary : DataKind::Random;
        const std::size_t index = set.files.size();
        const std::string sub = folder + "/d" + std::to_string(index % 32);
        std::filesystem::create_directories(sub);
        static const char* const Extensions[] = {".txt", ".dat", ".bin"};
        const std::string path = sub + "/f" + std::to_string(index) + Extensions[static_cast<int>(kind)];
        switch (kind) {
        case DataKind::Text:
            FillText(content, size, random, words);
            break;
        case DataKind::Binary:
            FillBinary(content, size, random);
            break;
        case DataKind::Random:
            FillRandom(content, size, random);
            break;
        }
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
        if (!out) {
            throw std::runtime_error("cannot write " + path);
        }
        set.files.push_back(DataSetFile{path, size, kind});
        set.totalBytes += size;
    }
    return set;
}

BenchTempDir::BenchTempDir(bool inMemory) : exceptionsBefore_(std::uncaught_exceptions()) {
    const char* variable = std::getenv("TMPDIR");
    std::string base = variable != nullptr && *variable != '\0' ? variable : "/tmp";
    if (inMemory && (variable == nullptr || *variable == '\0') && std::filesystem::is_directory("/dev/shm")) {
        base = "/dev/shm";
    }
    std::string pattern = base + "/corvane-bench-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot make a temporary folder from " + pattern);
    }
    path_ = pattern + "/";
}

BenchTempDir::~BenchTempDir() {
    if (std::uncaught_exceptions() > exceptionsBefore_) {
        std::fprintf(stderr, "The benchmark's folder is kept for a look: %s\n", path_.c_str());
        return;
    }
    std::error_code error;
    std::filesystem::remove_all(path_, error);
}

BenchOptions ParseBenchOptions(int argc, char** argv, std::uint64_t defaultSizeMb, int defaultRuns) {
    BenchOptions options;
    options.sizeMb = defaultSizeMb;
    options.runs = defaultRuns;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--size-mb" && i + 1 < argc) {
            options.sizeMb = std::strtoull(argv[++i], nullptr, 10);
        } else if (arg == "--runs" && i + 1 < argc) {
            options.runs = std::max(1, std::atoi(argv[++i]));
        } else {
            std::fprintf(stderr, "usage: %s [--size-mb N] [--runs N]\n", argv[0]);
            std::exit(2);
        }
    }
    return options;
}

double MegabytesPerSecond(std::uint64_t bytes, double seconds) {
    return seconds > 0 ? static_cast<double>(bytes) / (1024.0 * 1024.0) / seconds : 0.0;
}

std::string Megabytes(std::uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / (1024.0 * 1024.0));
    return text;
}

void PrintRatio(const std::string& name, double seconds, const std::string& reference, double referenceSeconds,
                double goal) {
    const double ratio = referenceSeconds > 0 ? seconds / referenceSeconds : 0.0;
    std::printf("%s: ratio %.3f (%.3f s against %.3f s for %s; goal <= %.2f, %s)\n", name.c_str(), ratio, seconds,
                referenceSeconds, reference.c_str(), goal, ratio <= goal ? "met" : "NOT MET");
}

double Median(std::vector<double> values) {
    if (values.empty()) {
        return 0.0;
    }
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2.0;
}

double PairedTimes::MedianOurs() const {
    return Median(ours);
}

double PairedTimes::MedianReference() const {
    return Median(reference);
}

double PairedTimes::MedianRatio() const {
    std::vector<double> ratios;
    for (std::size_t i = 0; i < ours.size() && i < reference.size(); ++i) {
        if (reference[i] > 0) {
            ratios.push_back(ours[i] / reference[i]);
        }
    }
    return Median(ratios);
}

PairedTimes TimePairs(int pairs, const std::function<double()>& ours, const std::function<double()>& reference) {
    PairedTimes times;
    for (int pair = 0; pair < pairs; ++pair) {
        if (pair % 2 == 0) {
            times.ours.push_back(ours());
            times.reference.push_back(reference());
        } else {
            times.reference.push_back(reference());
            times.ours.push_back(ours());
        }
    }
    return times;
}

std::function<double()> Repeated(int repeats, std::function<double()> once) {
    return [repeats, once = std::move(once)] {
        double seconds = 0;
        for (int i = 0; i < repeats; ++i) {
            seconds += once();
        }
        return seconds;
    };
}

int RepeatsForSeconds(double once, double seconds) {
    if (once <= 0) {
        return 1;
    }
    return std::clamp(static_cast<int>(std::ceil(seconds / once)), 1, 1000);
}

void PrintPairedRatio(const std::string& name, const PairedTimes& times, const std::string& reference, double goal) {
    const double ratio = times.MedianRatio();
    std::printf("%s: ratio %.3f (median of %zu pairs: %.3f s against %.3f s for %s; ", name.c_str(), ratio,
                times.ours.size(), times.MedianOurs(), times.MedianReference(), reference.c_str());
    if (goal > 0) {
        std::printf("goal <= %.2f, %s)\n", goal, ratio <= goal ? "met" : "NOT MET");
    } else {
        std::printf("no goal set)\n");
    }
}

void WriteRandomFile(const std::string& path, std::uint64_t size, std::uint32_t seed) {
    FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) {
        throw std::runtime_error("cannot create " + path);
    }
    std::mt19937_64 generator(seed);
    std::vector<std::uint64_t> block(1 << 16);
    for (std::uint64_t written = 0; written < size;) {
        for (auto& word : block) {
            word = generator();
        }
        const std::uint64_t piece = std::min<std::uint64_t>(size - written, block.size() * sizeof(std::uint64_t));
        if (std::fwrite(block.data(), 1, piece, out) != piece) {
            std::fclose(out);
            throw std::runtime_error("cannot write " + path);
        }
        written += piece;
    }
    if (std::fclose(out) != 0) {
        throw std::runtime_error("cannot write " + path);
    }
}

double TimeCommand(const std::string& command) {
    const Stopwatch watch;
    if (std::system(command.c_str()) != 0) {
        throw std::runtime_error("failed: " + command);
    }
    return watch.Seconds();
}

BenchFtpServer::BenchFtpServer(const std::string& root, const std::string& logPath) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    const std::string script = std::string(CORVANE_FIXTURES_DIR) + "/ftp_server.py";
    std::vector<std::string> argv = {"/usr/bin/python3", script, "--root",     root,
                                     "--user",           User(), "--password", Password()};
    std::vector<char*> args;
    for (auto& arg : argv) {
        args.push_back(arg.data());
    }
    args.push_back(nullptr);
    const int logFd = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    pid_ = ::fork();
    if (pid_ == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::dup2(fds[1], STDOUT_FILENO);
        if (logFd >= 0) {
            ::dup2(logFd, STDERR_FILENO);
        }
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    if (logFd >= 0) {
        ::close(logFd);
    }
    // The READY line, within a bounded time.
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
    while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        char buffer[128];
        const ssize_t got = ::read(fds[0], buffer, sizeof buffer);
        if (got > 0) {
            line.append(buffer, static_cast<std::size_t>(got));
        } else if (got == 0) {
            break;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ::close(fds[0]);
    char host[64] = {};
    if (std::sscanf(line.c_str(), "READY %63s %d", host, &port_) != 2) {
        Stop();
        throw std::runtime_error("the FTP server did not start; see " + logPath);
    }
    host_ = host;
}

BenchFtpServer::~BenchFtpServer() {
    Stop();
}

std::string BenchFtpServer::Url() const {
    return "ftp://" + User() + ":" + Password() + "@" + host_ + ":" + std::to_string(port_) + "/";
}

void BenchFtpServer::Stop() {
    KillChild(pid_);
}

BenchSocksProxy::BenchSocksProxy(const std::string& logPath) {
    // microsocks cannot report the port it bound: a free one is chosen, and another when that one was taken.
    for (int attempt = 0; attempt < 5 && pid_ < 0; ++attempt) {
        port_ = FreePort(host_);
        const std::string port = std::to_string(port_);
        const int logFd = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (logFd >= 0) {
                ::dup2(logFd, STDOUT_FILENO);
                ::dup2(logFd, STDERR_FILENO);
            }
            ::execl("/usr/bin/microsocks", "microsocks", "-i", host_.c_str(), "-p", port.c_str(),
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        if (logFd >= 0) {
            ::close(logFd);
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!PortAccepts(host_, port_) && std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (pid_ > 0 && !PortAccepts(host_, port_)) {
            KillChild(pid_);
        }
    }
    if (pid_ < 0) {
        throw std::runtime_error("microsocks did not start; see " + logPath);
    }
}

BenchSocksProxy::~BenchSocksProxy() {
    KillChild(pid_);
}

namespace {

struct FdCloser {
    void operator()(const int* fd) const {
        ::close(*fd);
        delete fd;
    }
};
using UniqueFd = std::unique_ptr<int, FdCloser>;

UniqueFd OpenOrThrow(const std::string& path, int flags) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0600);
    if (fd < 0) {
        throw std::runtime_error("cannot open " + path);
    }
    return UniqueFd(new int(fd));
}

void WriteAll(int fd, const unsigned char* data, std::size_t count) {
    while (count > 0) {
        const ssize_t n = ::write(fd, data, count);
        if (n <= 0) {
            throw std::runtime_error("write failed");
        }
        data += n;
        count -= static_cast<std::size_t>(n);
    }
}

} // namespace

std::uint64_t DeflateLoop(const DataSet& set, const std::string& outputPath) {
    constexpr std::size_t BlockSize = 16384;
    UniqueFd output = OpenOrThrow(outputPath, O_WRONLY | O_CREAT | O_TRUNC);
    std::array<unsigned char, BlockSize> in{};
    std::array<unsigned char, BlockSize> out{};
    std::uint64_t written = 0;
    for (const DataSetFile& file : set.files) {
        UniqueFd input = OpenOrThrow(file.path, O_RDONLY);
        z_stream zs{};
        if (deflateInit2(&zs, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
            throw std::runtime_error("deflateInit2 failed");
        }
        int flush = Z_NO_FLUSH;
        do {
            const ssize_t n = ::read(*input, in.data(), in.size());
            if (n < 0) {
                throw std::runtime_error("read failed: " + file.path);
            }
            flush = n == 0 ? Z_FINISH : Z_NO_FLUSH;
            zs.next_in = in.data();
            zs.avail_in = static_cast<uInt>(n);
            do {
                zs.next_out = out.data();
                zs.avail_out = out.size();
                deflate(&zs, flush);
                const std::size_t have = out.size() - zs.avail_out;
                WriteAll(*output, out.data(), have);
                written += have;
            } while (zs.avail_out == 0);
        } while (flush != Z_FINISH);
        deflateEnd(&zs);
    }
    return written;
}
