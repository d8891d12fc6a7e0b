// The launcher behind the proxy the system names for it (the environment on Linux, the
// Internet settings under Wine), against nginx through the test server's proxies: over http
// and through a tunnel for https, around a proxy that refuses, past it for a host the settings
// exempt, and (Windows) as a configuration script names it. On Windows these tests run alone, since the
// settings are the whole prefix's.
#include "tests/e2e/e2e_support.hpp"
#include "tests/e2e/system_proxy_setting.hpp"
#include "tests/patchmaker/patch_maker_support.hpp"
#include "tests/support/client_record.hpp"
#include "tests/support/http_test_server.hpp"
#include "tests/support/system_probe.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/test_process.hpp"
#include "update/documents/manifests.hpp"

#include <gtest/gtest.h>

#include <sstream>

namespace qz4 {
namespace {

namespace fs = std::filesystem;
using strings = std::vector<std::string>;

// The GUID the test launchers are built with.
constexpr char product_guid[] = "7c1e0d52-93ab-4f6e-b2d4-5a8e61f03c97";

// "127.0.0.1:PORT" of a base URL such as "http://127.0.0.1:PORT/".
std::string authority_of(const std::string& url) {
    const std::size_t start = url.find("://") + 3;
    return url.substr(start, url.find('/', start) - start);
}

// The proxy log's lines since the last call.
class proxy_log_reader {
public:
    strings new_lines() {
        std::istringstream log(test::proxy_log());
        strings lines;
        std::size_t index = 0;
        for (std::string line; std::getline(log, line); ++index)
            if (index >= seen_)
                lines.push_back(line);
        seen_ = index;
        return lines;
    }

private:
    std::size_t seen_ = 0;
};

std::size_t count_with(const strings& lines, const std::string& part) {
    return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.find(part) != std::string::npos;
    }));
}

class EndToEndProxy : public testing::Test {
protected:
    void SetUp() override {
        test::write_file(publisher_.dir().native("signing.key"), QZ4_E2E_SIGNING_KEY "\n");
        publisher_.add_input("client/Client.exe", test::read_file(QZ4_DUMMY_CLIENT_PATH));
        publisher_.add_input("client/data/noise.bin", test::random_bytes(300000, 7));
        publisher_.add_input("client/data/words.txt", "proxied words\n");
        config_ = publisher_config_template(product_guid);
        site_.remove("qz4");
        (void)log_.new_lines();
    }

    void publish(const std::string& host) {
        config_["client"]["hosts"] = nlohmann::json::array({host + "qz4/"});
        ASSERT_TRUE(test::publish_and_serve(publisher_, config_, site_));
    }

    // A fresh game folder updated by `program`; true when the update installed and started
    // the game.
    testing::AssertionResult install_with(const fs::path& program) {
        const test::temp_dir game;
        const fs::path launcher = game.path() / program.filename();
        fs::copy_file(program, launcher);
        const auto run = test::run_program(launcher, {}, game.path(), std::chrono::seconds(120));
        if (run.exit_code != 0)
            return testing::AssertionFailure() << "exit " << run.exit_code << ": " << run.output;
        test::client_record record;
        if (!test::wait_for_client_record(game.native("client"), record, std::chrono::seconds(60)))
            return testing::AssertionFailure() << "the game was not started: " << run.output;
        if (test::read_file(game.native("client/data/words.txt")) != "proxied words\n" ||
            !fs::exists(game.native("client/data/noise.bin")))
            return testing::AssertionFailure() << "the update was not installed";
        return testing::AssertionSuccess();
    }

    test::nginx_site site_;
    test::publisher_dir publisher_;
    nlohmann::json config_;
    proxy_log_reader log_;
};

TEST_F(EndToEndProxy, TheLauncherGoesThroughTheSystemsProxy) {
    const auto& server = test::http_server();
    const std::string nginx = authority_of(site_.base_url());
    publish(site_.base_url());
    {
        const test::system_proxy_setting setting({authority_of(server.proxy_url), "", ""});
        EXPECT_TRUE(install_with(QZ4_E2E_LAUNCHER_PATH));
        const strings lines = log_.new_lines();
        EXPECT_GE(count_with(lines, "forwarding GET http://" + nginx + "/qz4/version.json"), 1u);
        EXPECT_GE(count_with(lines, "/qz4/"), 4u) << "the documents and the files, all through the proxy";
    }
    {
        // A host the settings exempt is asked directly.
        const test::system_proxy_setting setting({authority_of(server.proxy_url), "127.0.0.1", ""});
        EXPECT_TRUE(install_with(QZ4_E2E_LAUNCHER_PATH));
        EXPECT_EQ(count_with(log_.new_lines(), "/qz4/"), 0u);
    }
    {
        // A proxy that refuses is asked for the first document only; everything goes directly.
        const test::system_proxy_setting setting({authority_of(server.refusing_proxy_url), "", ""});
        EXPECT_TRUE(install_with(QZ4_E2E_LAUNCHER_PATH));
        const strings lines = log_.new_lines();
        EXPECT_GE(count_with(lines, "refusing GET http://" + nginx + "/qz4/version.json"), 1u);
        EXPECT_EQ(count_with(lines, "/qz4/"), count_with(lines, "/qz4/version.json"));
    }
}

TEST_F(EndToEndProxy, HttpsGoesThroughATunnel) {
    const auto& server = test::http_server();
    publish(site_.tls_base_url());
    const test::system_proxy_setting setting({authority_of(server.proxy_url), "", ""});
    EXPECT_TRUE(install_with(QZ4_E2E_HTTPS_LAUNCHER_PATH));
    const strings lines = log_.new_lines();
    EXPECT_GE(count_with(lines, "forwarding CONNECT " + authority_of(site_.tls_base_url())), 1u);
    const std::string host = authority_of(site_.tls_base_url());
    const auto in_clear = std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.find(" GET ") != std::string::npos && line.find(host) != std::string::npos;
    });
    EXPECT_EQ(in_clear, 0) << "nothing of https in the clear";
}

// Windows finds the proxy by running the script the Internet settings name.
TEST_F(EndToEndProxy, AConfigurationScriptNamesTheProxyWindows) {
    if (const std::string reason = test::windows_only_skip_reason(); !reason.empty())
        GTEST_SKIP() << reason;
    const auto& server = test::http_server();
    test::write_file(server.root / "e2e-proxy.pac", "function FindProxyForURL(url, host) { return \"PROXY " +
                                                        authority_of(server.proxy_url) + "\"; }\n");
    publish(site_.base_url());
    const test::system_proxy_setting setting({"", "", server.url("e2e-proxy.pac")});
    EXPECT_TRUE(install_with(QZ4_E2E_LAUNCHER_PATH));
    EXPECT_GE(
        count_with(log_.new_lines(), "forwarding GET http://" + authority_of(site_.base_url()) + "/qz4/"),
        4u);
}

} // namespace
} // namespace qz4
