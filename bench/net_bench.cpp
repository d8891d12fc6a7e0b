// Throughput of the downloader against the curl command-line tool on the same loopback server
// in the same run, and the share of the transfer time that the progress callback costs.
//   qz4_bench_net [size in MiB, default 1024] [rounds, default 3]
#include "net/downloader.hpp"

#include "bench/bench_support.hpp"

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

transfer run_downloader(downloader& loader, const qz4::transfer_request& request, const fs::path& target,
                        double size) {
    const auto started = clock_type::now();
    if (const auto result = loader.download(request, qz4::test::wide_path(target)); !result.ok())
        throw std::runtime_error("download failed: " + result.error);
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

// For comparison: the downloader with libcurl's default receive buffer of 16 KiB.
class default_buffer_downloader final : public downloader {
public:
    default_buffer_downloader() { easy.add<CURLOPT_BUFFERSIZE>(static_cast<long>(CURL_MAX_WRITE_SIZE)); }
};

// Counts libcurl's calls of the downloader's progress function and the time spent in them.
std::atomic<long> progress_calls{0};
std::atomic<std::int64_t> progress_nanoseconds{0};

int timed_progress(void* data, double total, double received, double upload_total, double uploaded) {
    const auto started = clock_type::now();
    const int result = downloader::progress_function(data, total, received, upload_total, uploaded);
    progress_nanoseconds +=
        std::chrono::duration_cast<std::chrono::nanoseconds>(clock_type::now() - started).count();
    ++progress_calls;
    return result;
}

class timed_progress_downloader final : public downloader {
public:
    timed_progress_downloader() {
        easy.add<CURLOPT_PROGRESSFUNCTION>(static_cast<curl_progress_callback>(&timed_progress));
    }
};

qz4::transfer_request plain_request(const std::string& url) {
    qz4::transfer_request request;
    request.url = url;
    return request;
}

// A request followed by a callback that only goes on: what is measured is the downloader's own
// share of each progress call.
qz4::transfer_request followed_request(const std::string& url) {
    qz4::transfer_request request = plain_request(url);
    request.on_progress = [](const qz4::transfer_progress&) { return qz4::progress_verdict::go_on; };
    return request;
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
        std::string url = qz4::bench::wait_for_base_url(dir.native("state"));
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
            default_buffer_downloader default_buffer;
            const qz4::transfer_request request = followed_request(url);
            std::vector<transfer> curl_runs;
            std::vector<transfer> our_runs;
            std::vector<transfer> default_buffer_runs;
            for (int round = 0; round < rounds; ++round) {
                prepare();
                curl_runs.push_back(run_curl_tool(url, target, dir.path()));
                prepare();
                our_runs.push_back(run_downloader(loader, request, target, size));
                if (!s.null_device && fs::file_size(target) != static_cast<std::uintmax_t>(size))
                    throw std::runtime_error("the downloaded file is incomplete");
                prepare();
                default_buffer_runs.push_back(run_downloader(default_buffer, request, target, size));
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

        // The progress callback: the time spent in libcurl's calls of the progress function, against
        // the transfer's time; and the same transfer without a callback, which switches them off.
        const fs::path target = dir.native("null");
        timed_progress_downloader counted;
        downloader quiet;
        std::vector<transfer> with_progress;
        std::vector<transfer> without_progress;
        long calls_per_transfer = 0;
        double share = 0;                // of the round where the calls took the largest share
        double nanoseconds_per_call = 0; // in that round
        for (int round = 0; round < rounds; ++round) {
            fs::create_symlink("/dev/null", target);
            progress_calls = 0;
            progress_nanoseconds = 0;
            with_progress.push_back(run_downloader(counted, followed_request(url), target, size));
            const long calls = progress_calls.load();
            const auto spent = static_cast<double>(progress_nanoseconds.load());
            calls_per_transfer = std::max(calls_per_transfer, calls);
            if (spent * 1e-9 / with_progress.back().seconds > share) {
                share = spent * 1e-9 / with_progress.back().seconds;
                nanoseconds_per_call = calls > 0 ? spent / static_cast<double>(calls) : 0;
            }
            fs::remove(target);
            fs::create_symlink("/dev/null", target);
            without_progress.push_back(run_downloader(quiet, plain_request(url), target, size));
            fs::remove(target);
        }
        std::printf("progress callback (null device):\n");
        std::printf("  %ld calls per transfer at most; in the costliest round %.1f ns per call, "
                    "%.4f %% of the transfer time (goal < 1 %%)\n",
                    calls_per_transfer, nanoseconds_per_call, share * 100.0);
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
