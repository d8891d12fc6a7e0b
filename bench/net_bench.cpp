// Throughput of the downloader against the curl command-line tool on the same loopback server
// in the same run, and the share of the transfer time that the progress callback costs.
//   qz4_bench_net [size in MiB, default 1024] [rounds, default 3]
#include "net/downloader.hpp"

#include "common/file_system.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/test_process.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using clock_type = std::chrono::steady_clock;
using qz4::downloader;

constexpr double mebibyte = 1024.0 * 1024.0;

std::string wait_for_server(const fs::path& state_dir) {
    const auto deadline = clock_type::now() + std::chrono::seconds(10);
    while (clock_type::now() < deadline) {
        std::ifstream in(state_dir / "server.txt");
        std::string line;
        while (std::getline(in, line))
            if (line.rfind("base_url=", 0) == 0)
                return line.substr(9);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    throw std::runtime_error("the test server did not start");
}

struct transfer {
    double seconds = 0;
    double bytes = 0;
    [[nodiscard]] double mib_per_second() const { return bytes / mebibyte / seconds; }
};

transfer run_curl_tool(const std::string& url, const fs::path& target, const fs::path& directory) {
    const auto result = qz4::test::run_program(
        QZ4_CURL_TOOL, {"-s", "-S", "-o", target.string(), "-w", "%{time_total} %{size_download}", url},
        directory, std::chrono::minutes(5));
    std::istringstream figures(result.output);
    transfer measured;
    if (result.exit_code != 0 || !(figures >> measured.seconds >> measured.bytes))
        throw std::runtime_error("curl failed: " + result.output);
    return measured;
}

transfer run_downloader(downloader& loader, const std::string& url, const fs::path& target, double size) {
    const auto started = clock_type::now();
    if (!loader.download(url, qz4::test::wide_path(target)))
        throw std::runtime_error("download failed: " + loader.last_error);
    const std::chrono::duration<double> elapsed = clock_type::now() - started;
    return {elapsed.count(), size};
}

double best(const std::vector<transfer>& runs) {
    double result = 0;
    for (const auto& run : runs)
        result = std::max(result, run.mib_per_second());
    return result;
}

double median(std::vector<transfer> runs) {
    std::sort(runs.begin(), runs.end(),
              [](const transfer& a, const transfer& b) { return a.mib_per_second() < b.mib_per_second(); });
    return runs[runs.size() / 2].mib_per_second();
}

// Counts libcurl's calls of the downloader's progress function on the way through.
std::atomic<long> raw_progress_calls{0};
int counting_progress(void* data, double total, double received, double upload_total, double uploaded) {
    ++raw_progress_calls;
    return downloader::progress_function(data, total, received, upload_total, uploaded);
}

// Time of one call of the progress function that reaches the callback (the costly case).
double progress_call_nanoseconds() {
    downloader loader;
    long reports = 0;
    loader.on_progress = [&reports](int, double, double, double, double) {
        ++reports;
        return 0;
    };
    constexpr int calls = 2'000'000;
    const auto started = clock_type::now();
    for (int i = 1; i <= calls; ++i)
        (void)downloader::progress_function(&loader, 1e12, 16384.0 * i, 0, 0);
    const std::chrono::duration<double, std::nano> elapsed = clock_type::now() - started;
    if (reports != calls)
        throw std::runtime_error("progress function skipped reports");
    return elapsed.count() / calls;
}

// The downloader's headers go to standard output by default; here they would only clutter.
std::ostream discarded(nullptr);

void silence_headers(downloader& loader) {
    loader.easy.add<CURLOPT_HEADERDATA>(static_cast<std::ostream*>(&discarded));
}

void print_line(const char* name, const std::vector<transfer>& runs) {
    std::printf("  %-34s best %7.1f MiB/s   median %7.1f MiB/s\n", name, best(runs), median(runs));
}

} // namespace

int main(int argc, char** argv) {
    try {
        const long size_mib = argc > 1 ? std::atol(argv[1]) : 1024;
        const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
        if (size_mib <= 0 || rounds <= 0)
            throw std::runtime_error("usage: qz4_bench_net [size in MiB] [rounds]");
        const double size = static_cast<double>(size_mib) * mebibyte;

        qz4::test::temp_dir dir;
        fs::create_directories(dir.native("root"));
        fs::create_directories(dir.native("state"));
        const qz4::test::background_process server(QZ4_PYTHON,
                                                   {QZ4_HTTP_SERVER_SCRIPT, "serve", "--quiet", "--root",
                                                    dir.native("root").string(), "--state-dir",
                                                    dir.native("state").string()},
                                                   dir.path());
        std::string url = wait_for_server(dir.native("state"));
        url.append("_/bytes/").append(std::to_string(size_mib * 1048576L));
        std::printf("body: %ld MiB generated by the test server on loopback; best and median of %d rounds, "
                    "the clients taking turns\n\n",
                    size_mib, rounds);

        struct sink {
            const char* name;
            bool null_device;
        };
        double file_ratio = 0;
        double null_ratio = 0;
        for (const sink& s : {sink{"file on disk", false}, sink{"null device (through a link)", true}}) {
            if (s.null_device && !fs::exists("/dev/null"))
                continue;
            const fs::path target = dir.native(s.null_device ? "null" : "target.bin");
            // A link, so that removing the target never touches the device itself.
            const auto prepare = [&] {
                fs::remove(target);
                if (s.null_device)
                    fs::create_symlink("/dev/null", target);
            };
            downloader loader;
            silence_headers(loader);
            loader.on_progress = [](int, double, double, double, double) { return 0; };
            // For comparison: the same downloader with libcurl's default receive buffer.
            downloader default_buffer;
            silence_headers(default_buffer);
            default_buffer.easy.add<CURLOPT_BUFFERSIZE>(static_cast<long>(CURL_MAX_WRITE_SIZE));
            std::vector<transfer> curl_runs;
            std::vector<transfer> our_runs;
            std::vector<transfer> default_buffer_runs;
            for (int round = 0; round < rounds; ++round) {
                prepare();
                curl_runs.push_back(run_curl_tool(url, target, dir.path()));
                prepare();
                our_runs.push_back(run_downloader(loader, url, target, size));
                if (!s.null_device && fs::file_size(target) != static_cast<std::uintmax_t>(size))
                    throw std::runtime_error("the downloaded file is incomplete");
                prepare();
                default_buffer_runs.push_back(run_downloader(default_buffer, url, target, size));
            }
            fs::remove(target);
            const double ratio = best(our_runs) / best(curl_runs);
            (s.null_device ? null_ratio : file_ratio) = ratio;
            std::printf("to a %s:\n", s.name);
            print_line("curl tool", curl_runs);
            print_line("downloader", our_runs);
            print_line("downloader, 16 KiB libcurl buffer", default_buffer_runs);
            std::printf("  ratio downloader / curl tool: best %.3f, median %.3f (goal >= 0.95)\n\n", ratio,
                        median(our_runs) / median(curl_runs));
        }

        // The progress callback: its measured cost per call times libcurl's calls in a transfer,
        // against that transfer's time; and the same transfer with progress switched off.
        const fs::path target = dir.native("null");
        downloader counted;
        silence_headers(counted);
        counted.on_progress = [](int, double, double, double, double) { return 0; };
        counted.easy.add<CURLOPT_PROGRESSFUNCTION>(static_cast<curl_progress_callback>(&counting_progress));
        downloader quiet;
        silence_headers(quiet);
        quiet.easy.add<CURLOPT_NOPROGRESS>(1L);
        std::vector<transfer> with_progress;
        std::vector<transfer> without_progress;
        long calls_per_transfer = 0;
        for (int round = 0; round < rounds; ++round) {
            fs::create_symlink("/dev/null", target);
            raw_progress_calls = 0;
            with_progress.push_back(run_downloader(counted, url, target, size));
            calls_per_transfer = std::max(calls_per_transfer, raw_progress_calls.load());
            fs::remove(target);
            fs::create_symlink("/dev/null", target);
            without_progress.push_back(run_downloader(quiet, url, target, size));
            fs::remove(target);
        }
        const double nanoseconds = progress_call_nanoseconds();
        const double transfer_seconds = size / (best(with_progress) * mebibyte);
        const double share = calls_per_transfer * nanoseconds * 1e-9 / transfer_seconds;
        std::printf("progress callback (null device):\n");
        std::printf("  %ld calls per transfer at most, %.1f ns per call that reaches the callback: "
                    "%.4f %% of the transfer time (goal < 1 %%)\n",
                    calls_per_transfer, nanoseconds, share * 100.0);
        print_line("with progress", with_progress);
        print_line("progress switched off", without_progress);
        std::printf("  ratio with / without: best %.3f, median %.3f\n",
                    best(with_progress) / best(without_progress),
                    median(with_progress) / median(without_progress));
        std::printf(
            "\nsummary: throughput ratio downloader / curl tool %.3f to a file, %.3f to the null device; "
            "progress callback %.4f %% of the transfer time\n",
            file_ratio, null_ratio, share * 100.0);
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "qz4_bench_net: %s\n", error.what());
        return 1;
    }
}
