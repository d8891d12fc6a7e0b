#include "tests/e2e/e2e_support.hpp"

#include "net/downloader.hpp"

#include "tests/support/temp_dir.hpp"

#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace qz4::test {

namespace fs = std::filesystem;

namespace {

// `127.0.0.1 - - [time] "GET /path HTTP/1.1" 200 18 "-" "agent" https 8443`
bool parse_line(const std::string& line, logged_request& request) {
    const std::size_t get = line.find("\"GET ");
    if (get == std::string::npos)
        return false;
    const std::size_t start = get + 5;
    const std::size_t end = line.find(' ', start);
    const std::size_t quote = line.find('"', end);
    const std::size_t agent_end = line.rfind('"');
    if (end == std::string::npos || quote == std::string::npos || agent_end <= quote)
        return false;
    request.path = line.substr(start, end - start);
    std::istringstream rest(line.substr(quote + 1));
    rest >> request.status;
    std::istringstream connection(line.substr(agent_end + 1));
    connection >> request.scheme >> request.port;
    return true;
}

} // namespace

nginx_site::nginx_site() : state_(fs::u8path(QZ4_NGINX_STATE_DIR)) {
    std::ifstream server(state_ / "server.txt");
    std::string line;
    while (std::getline(server, line))
        if (line.rfind("base_url=", 0) == 0)
            base_url_ = line.substr(9);
        else if (line.rfind("tls_url=", 0) == 0)
            tls_base_url_ = line.substr(8);
    if (base_url_.empty())
        throw std::runtime_error("nginx is not running (no " + (state_ / "server.txt").string() +
                                 "); ctest starts it through the fixture qz4_nginx");
    std::ifstream log(state_ / "access.log", std::ios::ate);
    read_up_to_ = log ? static_cast<std::streamoff>(log.tellg()) : 0;
}

std::string nginx_site::base_url() const {
    return base_url_;
}

std::string nginx_site::tls_base_url() const {
    return tls_base_url_;
}

fs::path nginx_site::www() const {
    return state_ / "www";
}

fs::path nginx_site::www_other_name() const {
    return state_ / "www-other-name";
}

void nginx_site::serve(const std::string& folder, const fs::path& tree) const {
    remove(folder);
    fs::copy(tree, www() / folder, fs::copy_options::recursive);
}

void nginx_site::remove(const std::string& folder) const {
    fs::remove_all(www() / folder);
}

std::vector<logged_request> nginx_site::new_requests() {
    const std::string marker = "/end-of-requests-" + std::to_string(++markers_);
    {
        downloader transfer;
        temp_dir scratch;
        (void)transfer.download(base_url_ + marker.substr(1), scratch.wide("marker"));
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (;;) {
        std::ifstream log(state_ / "access.log");
        log.seekg(read_up_to_);
        std::vector<logged_request> requests;
        std::string line;
        while (std::getline(log, line)) {
            logged_request request;
            if (!parse_line(line, request))
                continue;
            if (request.path == marker) {
                read_up_to_ = log.tellg();
                if (read_up_to_ < 0) // the marker's line was the last: the end of the file
                    read_up_to_ = static_cast<std::streamoff>(fs::file_size(state_ / "access.log"));
                return requests;
            }
            requests.push_back(request);
        }
        if (std::chrono::steady_clock::now() > deadline)
            throw std::runtime_error("nginx never logged its own request " + marker);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

testing::AssertionResult publish_and_serve(publisher_dir& publisher, nlohmann::json& config,
                                           const nginx_site& site) {
    publisher.configure(config);
    const auto result = publisher.run(2);
    if (!result.completed)
        return testing::AssertionFailure() << result.console;
    config = publisher.read_json("config.json");
    site.serve("qz4", publisher.dir().native("output"));
    return testing::AssertionSuccess();
}

std::vector<std::string> paths_of(const std::vector<logged_request>& requests) {
    std::vector<std::string> paths;
    for (const auto& request : requests)
        paths.push_back(request.path);
    return paths;
}

} // namespace qz4::test
