// The patch maker's console on POSIX: paths with slashes, and a pipe in the input tree is
// passed over with a line instead of blocking the run.
#include "patchmaker/console_text.hpp"
#include "tests/patchmaker/patch_maker_support.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace qz4 {
namespace {

TEST(PatchMakerConsolePosix, PathsAreShownWithSlashes) {
    EXPECT_EQ(shown_path(L"\\srv\\game\\input\\Bin\\Game.EXE"), L"/srv/game/input/Bin/Game.EXE");
}

TEST(PatchMakerConsolePosix, APipeInTheInputIsSkipped) {
    test::publisher_dir publisher;
    publisher.configure();
    publisher.add_input("data/a.txt", "alpha");
    ASSERT_EQ(::mkfifo(publisher.dir().native("input/data/pipe").c_str(), 0600), 0);
    const auto run = publisher.run();
    EXPECT_TRUE(run.completed) << run.console;
    EXPECT_NE(run.console.find("Skipped (not a file): " + publisher.dir().native("input/data/pipe").string() +
                               "\n"),
              std::string::npos)
        << run.console;
    EXPECT_EQ(publisher.read_json("output/1/index.json").at("files").size(), 1u);
}

} // namespace
} // namespace qz4
