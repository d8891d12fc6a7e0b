// Stopping the patch maker: the run saves what it has, the process ends with the signal's
// exit code, and the next run publishes a consistent index.
#include "common/sha1.hpp"
#include "patchmaker/interrupts.hpp"
#include "tests/patchmaker/patch_maker_support.hpp"
#include "tests/support/system_probe.hpp"
#include "tests/support/test_process.hpp"

#include <gtest/gtest.h>

#include <csignal>

namespace qz4 {
namespace {

namespace fs = std::filesystem;

TEST(InterruptStateDeathTest, ASignalAfterTheRunGaveUpEndsTheProcessAtOnce) {
    EXPECT_EXIT(
        {
            interrupt_state state(stdout);
            state.set_abandoned();
            state.handle(console_signal::interrupt);
        },
        testing::ExitedWithCode(1), "");
    EXPECT_EXIT(
        {
            interrupt_state state(stdout);
            state.set_finished();
            state.handle(console_signal::closed);
        },
        testing::ExitedWithCode(2), "");
}

std::string digest_of_file(const fs::path& path) {
    sha1_context context;
    byte_buffer buffer;
    return file_sha1(test::wide_path(path), buffer, context);
}

TEST(PatchMakerProgram, CtrlCSavesTheWorkAndTheNextRunPublishesAConsistentIndexPosix) {
    // The run is driven by a POSIX shell and interrupted with SIGINT.
    if (const auto reason = test::posix_only_skip_reason(); !reason.empty())
        GTEST_SKIP() << reason;
    test::publisher_dir publisher;
    publisher.configure(0, true, 1000, 85);
    for (int i = 0; i < 60; ++i) {
        std::string content = test::random_bytes(4000, static_cast<std::uint32_t>(i));
        content += std::string(150000, static_cast<char>('a' + i % 26));
        publisher.add_input("data/file" + std::to_string(i) + ".bin", content);
    }
    const fs::path program = publisher.dir().native("qz4launcher");
    fs::copy_file(QZ4_LAUNCHER_PATH, program);

    // Start the patch maker, wait until it is busy, interrupt it, and report its exit code.
    // Before the job has created its log, grep prints nothing: that counts as not busy yet.
    const auto result = test::run_program(
        "/bin/sh",
        {"-c",
         "cd \"$1\" && \"$0\" -patchmaker > log 2>&1 & pid=$!; i=0; "
         "busy() { n=$(grep -c Processing \"$1/log\" 2>/dev/null); [ \"${n:-0}\" -ge 3 ]; }; "
         "until busy \"$1\" || [ $i -ge 600 ]; do sleep 0.05; i=$((i+1)); done; "
         "kill -INT $pid; wait $pid; echo \"exit=$?\"",
         program.string(), publisher.dir().path().string()},
        publisher.dir().path());
    const std::string log = test::read_file(publisher.dir().native("log"));
    ASSERT_NE(result.output.find("exit=1"), std::string::npos) << result.output << log;
    EXPECT_NE(log.find("Interrupted! Terminating threads...\n"), std::string::npos) << log;
    EXPECT_NE(log.find("Saving config file.\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("Saving update index."), std::string::npos) << log;
    EXPECT_FALSE(fs::exists(publisher.dir().native("output/1/index.json")));
    EXPECT_FALSE(fs::exists(publisher.dir().native("output/version.json")));
    EXPECT_EQ(publisher.read_json("config.json").at("maker").at("gameupdate"), 1);
    const std::size_t saved = publisher.read_json("cache.json").size();
    EXPECT_GE(saved, 3u);
    EXPECT_LT(saved, 60u);

    const auto next = publisher.run(2);
    ASSERT_TRUE(next.completed) << next.console;
    const nlohmann::json index = publisher.read_json("output/2/index.json");
    ASSERT_EQ(index.at("files").size(), 60u);
    std::size_t reused = 0;
    for (const auto& record : index.at("files")) {
        const std::string remote = record.at("r");
        const fs::path copy = publisher.dir().native("output/" + remote);
        ASSERT_TRUE(fs::exists(copy)) << remote;
        EXPECT_EQ(digest_of_file(copy), record.at(record.contains("r_pack") ? "r_sha1" : "l_sha1")) << remote;
        reused += record.at("u") == 1 ? 1 : 0;
    }
    EXPECT_EQ(reused, saved);
    EXPECT_NE(next.console.find("Minimum referenced version: 1\nCurrent game update version: 2\n"),
              std::string::npos);
}

} // namespace
} // namespace qz4
