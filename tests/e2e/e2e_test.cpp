// The launcher as a player runs it, built with loopback update URLs and a test publisher's
// key, against trees the patch maker publishes and signs and a real nginx serves: installing,
// staying current, following a changed client, keeping accepted edits, replacing itself,
// failing over, refusing an unsigned tree, going on without a server, over https, and refusing
// hosts it must not take; and once the launcher built without keys.
#include "common/encoding.hpp"
#include "common/sha1.hpp"
#include "update/documents/manifests.hpp"
#include "update/engine/game_launcher.hpp"

#include "tests/e2e/e2e_support.hpp"
#include "tests/patchmaker/patch_maker_support.hpp"
#include "tests/support/client_record.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/test_process.hpp"

#include <gtest/gtest.h>

#include <map>

namespace qz4 {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using strings = std::vector<std::string>;

constexpr char product_guid[] = "7c1e0d52-93ab-4f6e-b2d4-5a8e61f03c97";

std::string read_all(const fs::path& path) {
    return test::read_file(path);
}

std::string sha1_of(const std::string& text) {
    sha1_context context;
    context.update(text.data(), static_cast<std::uint32_t>(text.size()));
    sha1_digest digest;
    context.final(digest);
    return digest_text(digest);
}

// The splash of a launcher run inside the test: nothing to show, never closed.
class unseen_splash final : public splash_view {
public:
    void set_status_text(const std::wstring&) override {}
    void set_progress(std::uint32_t, std::uint32_t) override {}
    void set_progress_value(std::uint32_t) override {}
    [[nodiscard]] bool is_closed() const override { return false; }
};

class EndToEnd : public testing::Test {
protected:
    void SetUp() override {
        launcher_name_ = fs::path(QZ4_E2E_LAUNCHER_PATH).filename().u8string();
        config_ = publisher_config_template(product_guid);
        config_["client"]["hosts"] = json::array({site_.base_url() + "qz4/"});
        config_["client"]["check"]["hard_check"] =
            json::array({"client\\*.exe", "client\\*", "client\\*\\*", launcher_name()});
        config_["client"]["check"]["soft_check"] = json::array({"config\\*.*"});
        site_.remove("qz4");
        site_.remove("broken");
        fs::remove_all(site_.www_other_name() / "qz4");
        // The publisher's key, which the launcher is built with.
        test::write_file(publisher_.dir().native("signing.key"), QZ4_E2E_SIGNING_KEY "\n");
        add("client/Client.exe", read_all(QZ4_DUMMY_CLIENT_PATH));
        add("client/data/words.txt", words(60000));
        add("client/data/noise.bin", test::random_bytes(40000, 1));
        add("client/with space/a b.txt", "spaced");
        add("client/Данные/файл.txt", "non-ASCII names");
        // '#' and '?' would end a request's path and '%' start an escape: only an `r` escaped
        // in full fetches it.
        add("client/data/#1 100% \u00fc.txt", "a name that needs escapes");
        add("config/user.cfg", "volume=3\n");
        add("config/other.cfg", "keys=default\n");
    }

    std::string launcher_name() const { return std::string(launcher_name_.begin(), launcher_name_.end()); }

    static std::string words(std::size_t count) {
        std::string text;
        for (std::size_t i = 0; i < count; ++i)
            text += "word" + std::to_string(i % 977) + (i % 13 == 0 ? "\n" : " ");
        return text;
    }

    void add(const std::string& relative, const std::string& content) {
        client_[relative] = content;
        publisher_.add_input(relative, content);
    }
    // The launcher's own file is tens of MiB in a sanitizer build: published as it is, the
    // test does not wait for it to be packed.
    void add_new_launcher(const std::string& content) {
        config_["maker"]["packer"]["minsize"] = 1u << 30;
        add(launcher_name(), content);
    }
    void remove_from_client(const std::string& relative) {
        client_.erase(relative);
        fs::remove(publisher_.dir().native("input/" + relative));
    }

    // The patch maker publishes input/ and nginx serves the result under /qz4/.
    void publish() { ASSERT_TRUE(test::publish_and_serve(publisher_, config_, site_)); }

    // The launcher, installed beside the game once, run with these arguments.
    test::run_result launch(const strings& arguments = {}, const fs::path& program = QZ4_E2E_LAUNCHER_PATH) {
        const fs::path launcher = game_.path() / program.filename();
        if (!fs::exists(launcher))
            fs::copy_file(program, launcher);
        fs::remove(game_.native("client/client_record.txt"));
        return test::run_program(launcher, arguments, game_.path(), std::chrono::seconds(120));
    }

    // The run a launcher asking `hosts` makes in this process, for its error_text: the program
    // does not show it when it goes on to start the game.
    static std::wstring run_text(const std::vector<std::string>& hosts) {
        const test::temp_dir game;
        launcher_settings settings;
        settings.exe_path = game.wide("launcher.exe");
        settings.product_guid = utf8_to_wide(product_guid);
        settings.built_in_hosts = hosts;
        settings.trust.ca_file = QZ4_E2E_CA_FILE;
        settings.pause = [](std::chrono::milliseconds) {};
        game_launcher launcher(std::move(settings));
        unseen_splash splash;
        bool restart = false;
        EXPECT_TRUE(launcher.init());
        EXPECT_TRUE(launcher.run(splash, restart)) << "the game starts on the installed files";
        return launcher.error_text;
    }

    test::client_record client_start() {
        test::client_record record;
        EXPECT_TRUE(test::wait_for_client_record(game_.native("client"), record, std::chrono::seconds(60)))
            << "the client was not started";
        return record;
    }

    // Every published file is installed with its content.
    testing::AssertionResult installed_as_published() const {
        std::string differences;
        for (const auto& [relative, content] : client_) {
            const fs::path path = game_.native(relative);
            if (!fs::exists(path))
                differences += " missing:" + relative;
            else if (read_all(path) != content)
                differences += " differs:" + relative;
        }
        if (differences.empty())
            return testing::AssertionSuccess();
        return testing::AssertionFailure() << differences;
    }

    // The client files fetched, without the documents and their signatures.
    static strings files_fetched(const std::vector<test::logged_request>& requests) {
        strings files;
        for (const auto& path : test::paths_of(requests))
            if (path.find("/version.json") == std::string::npos &&
                path.find("/index.json") == std::string::npos)
                files.push_back(path);
        return files;
    }

    test::nginx_site site_;
    test::publisher_dir publisher_;
    test::temp_dir game_;
    json config_;
    std::map<std::string, std::string> client_;
    std::u8string launcher_name_;
};

TEST_F(EndToEnd, AFreshInstallThenAnUpToDateRerun) {
    publish();
    const auto first = launch({"-x", "two words"});
    EXPECT_EQ(first.exit_code, 0) << first.output;
    const auto record = client_start();
    EXPECT_EQ(record.marker, "true");
    EXPECT_EQ(record.arguments, test::arguments_seen_by_client({"-x", "two words"}));
    EXPECT_EQ(fs::path(record.working_directory), game_.native("client"));
    EXPECT_TRUE(installed_as_published());
    EXPECT_EQ(files_fetched(site_.new_requests()).size(), client_.size());

    // The update has not changed and the index held is intact: only the announcement is fetched.
    const auto again = launch();
    EXPECT_EQ(again.exit_code, 0) << again.output;
    EXPECT_EQ(client_start().marker, "true");
    EXPECT_EQ(test::paths_of(site_.new_requests()), (strings{"/qz4/version.json", "/qz4/version.json.sig"}));
}

// A held index whose signature is lost is asked for with its validators, and nginx's 304 lets
// the copy (checked against a fresh signature) serve; a damaged copy is fetched again whole.
TEST_F(EndToEnd, ADamagedHeldIndexIsAskedForAgain) {
    publish();
    ASSERT_EQ(launch().exit_code, 0);
    client_start();
    (void)site_.new_requests();
    const fs::path area = game_.path() / ".temp" / product_guid;
    struct damage {
        const char* name;
        const char* file;
        std::vector<int> index_statuses; // of the requests for the packed index, in order
    };
    const damage damages[] = {
        {"the signature lost", "index.json.sig", {304}},
        {"the copy damaged", "index.json", {304, 200}},
    };
    for (const damage& d : damages) {
        SCOPED_TRACE(d.name);
        test::write_file(area / d.file, "damaged");
        ASSERT_EQ(launch().exit_code, 0);
        client_start();
        std::vector<int> statuses;
        strings paths;
        for (const auto& request : site_.new_requests()) {
            paths.push_back(request.path);
            if (request.path == "/qz4/1/index.json.lzma2")
                statuses.push_back(request.status);
        }
        EXPECT_EQ(statuses, d.index_statuses);
        EXPECT_EQ(paths.at(2), "/qz4/1/index.json.sig");
        EXPECT_TRUE(installed_as_published());
        ASSERT_EQ(launch().exit_code, 0);
        client_start();
        EXPECT_EQ(test::paths_of(site_.new_requests()),
                  (strings{"/qz4/version.json", "/qz4/version.json.sig"}));
    }
}

TEST_F(EndToEnd, AChangedAnAddedAndARemovedFile) {
    publish();
    ASSERT_EQ(launch().exit_code, 0);
    (void)site_.new_requests();

    add("client/data/words.txt", words(50000));
    add("client/data/new.txt", "added");
    remove_from_client("client/data/noise.bin");
    publish();
    ASSERT_EQ(launch().exit_code, 0);
    client_start();
    EXPECT_TRUE(installed_as_published());
    EXPECT_TRUE(fs::exists(game_.native("client/data/noise.bin"))) << "the format has no deletions";
    strings fetched = files_fetched(site_.new_requests());
    std::sort(fetched.begin(), fetched.end());
    EXPECT_EQ(fetched, (strings{"/qz4/2/client/data/new.txt", "/qz4/2/client/data/words.txt.lzma2"}));
}

TEST_F(EndToEnd, APlayersEditIsKeptOnlyWhenItsDigestIsAccepted) {
    config_["client"]["check"]["acceptable_checksums"] =
        json::array({{{"file", "config\\user.cfg"}, {"checksums", {"  " + std::string(40, '0') + " "}}}});
    publish();
    ASSERT_EQ(launch().exit_code, 0);

    test::write_file(game_.native("config/user.cfg"), "volume=11\n");
    test::write_file(game_.native("config/other.cfg"), "keys=mine\n");
    // The publisher accepts the player's volume; a new update makes every launcher look.
    config_["client"]["check"]["acceptable_checksums"][0]["checksums"] = {sha1_of("volume=11\n")};
    add("client/data/new.txt", "so that there is an update");
    publish();
    ASSERT_EQ(launch().exit_code, 0);
    client_start();
    EXPECT_EQ(read_all(game_.native("config/user.cfg")), "volume=11\n");
    EXPECT_EQ(read_all(game_.native("config/other.cfg")), "keys=default\n");
}

TEST_F(EndToEnd, ANewLauncherIsSwappedInAndRestarts) {
    // The published launcher is this one with a few bytes more: a different file that runs.
    const std::string new_launcher = read_all(QZ4_E2E_LAUNCHER_PATH) + std::string(64, '\x5A');
    add_new_launcher(new_launcher);
    publish();
    const auto first = launch();
    EXPECT_EQ(first.exit_code, 0) << first.output;
    // The restarted launcher finds nothing to do and starts the game.
    EXPECT_EQ(client_start().marker, "true");
    EXPECT_TRUE(installed_as_published());
    // The next start removes the old copy.
    ASSERT_EQ(launch().exit_code, 0);
    client_start();
    EXPECT_FALSE(fs::exists(game_.native("old-" + launcher_name())));
    EXPECT_EQ(files_fetched(site_.new_requests()).size(), client_.size()) << "each file once";
}

TEST_F(EndToEnd, WithoutSelfUpdateTheLauncherStays) {
    const std::string new_launcher = read_all(QZ4_E2E_LAUNCHER_PATH) + std::string(64, '\x5A');
    add_new_launcher(new_launcher);
    client_.erase(launcher_name()); // it waits beside the running one
    publish();
    const auto run = launch({"-noselfupdate"});
    EXPECT_EQ(run.exit_code, 0) << run.output;
    EXPECT_EQ(client_start().arguments, test::arguments_seen_by_client({"-noselfupdate"}));
    EXPECT_EQ(read_all(game_.native(launcher_name())), read_all(QZ4_E2E_LAUNCHER_PATH));
    EXPECT_EQ(read_all(game_.native("new-" + launcher_name())), new_launcher);
}

TEST_F(EndToEnd, TheSecondHostServesWhatTheFirstFails) {
    config_["client"]["hosts"] = json::array({site_.base_url() + "broken/", site_.base_url() + "qz4/"});
    publish();
    // The first host has the documents but none of the files.
    fs::create_directories(site_.www() / "broken" / "1");
    fs::copy_file(site_.www() / "qz4" / "version.json", site_.www() / "broken" / "version.json");
    for (const char* document : {"index.json", "index.json.lzma2"})
        fs::copy_file(site_.www() / "qz4" / "1" / document, site_.www() / "broken" / "1" / document);
    const auto run = launch();
    EXPECT_EQ(run.exit_code, 0) << run.output;
    EXPECT_EQ(client_start().marker, "true");
    EXPECT_TRUE(installed_as_published());
    std::size_t failed_on_first = 0;
    std::size_t served_by_second = 0;
    for (const auto& request : site_.new_requests()) {
        failed_on_first += request.path.rfind("/broken/1/client/", 0) == 0 && request.status == 404;
        served_by_second += request.path.rfind("/qz4/1/", 0) == 0 && request.status == 200 &&
                            request.path.find("/index.json") == std::string::npos;
    }
    // Three failures in a row end the first pass; the other transfers in flight then end theirs.
    EXPECT_GE(failed_on_first, 3u);
    EXPECT_LE(failed_on_first, 3u + default_connections - 1);
    EXPECT_EQ(served_by_second, client_.size());
}

// The launcher installs only from the signed tree: one published without signatures it
// refuses, and the game starts on the installed files.
TEST_F(EndToEnd, AnUnsignedTreeIsRefused) {
    publish();
    ASSERT_EQ(launch().exit_code, 0);
    client_start();
    (void)site_.new_requests();

    config_["maker"]["sign"] = false;
    add("client/data/unsigned.txt", "not for this launcher");
    publish();
    const auto refused = launch();
    EXPECT_EQ(refused.exit_code, 0) << refused.output;
    EXPECT_EQ(client_start().marker, "true");
    EXPECT_FALSE(fs::exists(game_.native("client/data/unsigned.txt")));
    EXPECT_EQ(test::paths_of(site_.new_requests()), (strings{"/qz4/version.json", "/qz4/version.json.sig",
                                                             "/qz4/version.json", "/qz4/version.json.sig"}))
        << "two attempts on the first host, one on the fallback, which is down";
}

// A launcher whose hosts are https, trusting the tests' authority, installs and updates as
// over http, every request over https.
TEST_F(EndToEnd, OverHttpsAnInstallAndAnUpdate) {
    config_["client"]["hosts"] = json::array({site_.tls_base_url() + "qz4/"});
    publish();
    const auto first = launch({}, QZ4_E2E_HTTPS_LAUNCHER_PATH);
    EXPECT_EQ(first.exit_code, 0) << first.output;
    EXPECT_EQ(client_start().marker, "true");
    EXPECT_TRUE(installed_as_published());

    add("client/data/words.txt", words(50000));
    publish();
    const auto second = launch({}, QZ4_E2E_HTTPS_LAUNCHER_PATH);
    EXPECT_EQ(second.exit_code, 0) << second.output;
    EXPECT_EQ(client_start().marker, "true");
    EXPECT_TRUE(installed_as_published());
    const auto requests = site_.new_requests();
    EXPECT_EQ(files_fetched(requests).size(), client_.size() + 1);
    for (const auto& request : requests)
        EXPECT_EQ(request.scheme, "https") << request.path;
}

// A host whose certificate was issued to another name is refused before it is asked for
// anything, though it has a newer update: the game starts on the installed files, as without
// a server, and the run's text says why.
TEST_F(EndToEnd, AnHttpsHostWithACertificateForAnotherNameIsRefused) {
    const std::string other_name = "https://localhost:" + std::to_string(QZ4_E2E_OTHER_NAME_PORT) + "/qz4/";
    config_["client"]["hosts"] = json::array({site_.tls_base_url() + "qz4/", other_name});
    publish();
    ASSERT_EQ(launch({}, QZ4_E2E_HTTPS_LAUNCHER_PATH).exit_code, 0);
    client_start();

    add("client/data/new.txt", "only on the host with the wrong certificate");
    publish();
    fs::copy(site_.www() / "qz4", site_.www_other_name() / "qz4", fs::copy_options::recursive);
    site_.remove("qz4");
    (void)site_.new_requests();
    const auto run = launch({"refused"}, QZ4_E2E_HTTPS_LAUNCHER_PATH);
    EXPECT_EQ(run.exit_code, 0) << run.output;
    EXPECT_EQ(client_start().arguments, test::arguments_seen_by_client({"refused"}));
    EXPECT_FALSE(fs::exists(game_.native("client/data/new.txt")));
    for (const auto& request : site_.new_requests())
        EXPECT_NE(request.port, QZ4_E2E_OTHER_NAME_PORT) << request.path;

    EXPECT_EQ(run_text({other_name}),
              L"Could not download update index.\nRefused: no trusted https connection for " +
                  utf8_to_wide(other_name) + L"version.json (CURL error: 60)");
}

// An update whose configuration names a host of another scheme is refused whole: nothing of
// it is fetched, through that host or the good one beside it.
TEST_F(EndToEnd, AConfigurationNamingAnFtpHostIsRefused) {
    publish();
    ASSERT_EQ(launch().exit_code, 0);
    client_start();
    (void)site_.new_requests();

    config_["client"]["hosts"] = json::array({site_.base_url() + "qz4/", "ftp://127.0.0.1/qz4/"});
    add("client/data/new.txt", "behind a configuration that is refused");
    publish();
    const auto run = launch({"ftp"});
    EXPECT_EQ(run.exit_code, 0) << run.output;
    EXPECT_EQ(client_start().arguments, test::arguments_seen_by_client({"ftp"}));
    EXPECT_FALSE(fs::exists(game_.native("client/data/new.txt")));
    EXPECT_EQ(test::paths_of(site_.new_requests()),
              (strings{"/qz4/version.json", "/qz4/version.json.sig", "/qz4/2/index.json.sig",
                       "/qz4/2/index.json.lzma2"}));
    EXPECT_EQ(run_text({site_.base_url() + "qz4/"}), L"Remote config is invalid");
}

// A launcher built without keys (QZ4_ALLOW_UNSIGNED_UPDATES) takes a tree published without
// signatures as it is served, and asks for no signature.
TEST_F(EndToEnd, ALauncherBuiltWithoutKeysTakesTheTreeAsServed) {
    config_["maker"]["sign"] = false;
    publish();
    const auto run = launch({}, QZ4_E2E_UNSIGNED_LAUNCHER_PATH);
    EXPECT_EQ(run.exit_code, 0) << run.output;
    EXPECT_EQ(client_start().marker, "true");
    EXPECT_TRUE(installed_as_published());
    strings documents = test::paths_of(site_.new_requests());
    documents.resize(2);
    EXPECT_EQ(documents, (strings{"/qz4/version.json", "/qz4/1/index.json.lzma2"}));
}

TEST_F(EndToEnd, WithoutAServerTheGameStartsOnTheInstalledFiles) {
    publish();
    ASSERT_EQ(launch().exit_code, 0);
    // The first client writes its record after the launcher has gone: once it has, the next
    // record can only be the second client's.
    client_start();
    site_.remove("qz4"); // the primary host has nothing; the fallback refuses connections
    const auto run = launch({"offline"});
    EXPECT_EQ(run.exit_code, 0) << run.output;
    const auto record = client_start();
    EXPECT_EQ(record.arguments, test::arguments_seen_by_client({"offline"}));
    EXPECT_TRUE(installed_as_published());
}

} // namespace
} // namespace qz4
