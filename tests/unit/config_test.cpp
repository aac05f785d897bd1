#include <gtest/gtest.h>

#include "config/config_files.h"
#include "files.h"
#include "log_capture.h"

namespace {

struct ConfigFiles : ::testing::Test {
    std::filesystem::path dir = make_temp_dir("config");
    ~ConfigFiles() override { std::filesystem::remove_all(dir); }

    bool read(const std::string& content, nlohmann::json& value, std::string& log)
    {
        const auto path = dir / "doc.json";
        write_file(path, content);
        log_capture capture;
        const bool ok = read_json_file(path.string(), value);
        log = capture.text();
        return ok;
    }
};

TEST_F(ConfigFiles, JsonReaderTakesTheFirstValueOnly)
{
    nlohmann::json value;
    std::string log;
    EXPECT_TRUE(read("{\"server_proto\":\"http\"} trailing text {", value, log));
    EXPECT_EQ(value["server_proto"], "http");
    EXPECT_EQ(log, "");

    EXPECT_TRUE(read("\xEF\xBB\xBF{\"a\":1}", value, log)) << "a byte-order mark is accepted";
    EXPECT_EQ(value["a"], 1);

    EXPECT_TRUE(read("[1,2]", value, log));
    EXPECT_TRUE(value.is_array());
    EXPECT_TRUE(read("42", value, log));
    EXPECT_TRUE(value.is_number());
}

TEST_F(ConfigFiles, JsonReaderRefusesWhatIsNotJson)
{
    nlohmann::json value;
    std::string log;
    for (const char* bad : {"", "// comment\n{\"a\":1}", "{\"a\":", "<html>404</html>", "   "}) {
        EXPECT_FALSE(read(bad, value, log)) << bad;
        EXPECT_EQ(log, "error Caught exception when parsing JSON\n") << bad;
    }
}

TEST_F(ConfigFiles, JsonReaderReportsAMissingFile)
{
    nlohmann::json value;
    const std::string missing = (dir / "nothing.json").string();
    log_capture capture;
    EXPECT_FALSE(read_json_file(missing, value));
    EXPECT_EQ(capture.text(), "error Could not open " + missing + "\n");
}

TEST_F(ConfigFiles, VersionIsTheFirstWord)
{
    const auto path = (dir / "VERSION").string();
    struct Case {
        const char* content;
        const char* version;
    };
    for (const Case& c :
         {Case{"2.3.1 more text", "2.3.1"}, Case{"2.3.1\r\n", "2.3.1"}, Case{"2.3.1\n", "2.3.1"},
          Case{"  \t\n 7.0-rc&x=1\n", "7.0-rc&x=1"}, Case{"", ""}, Case{" \r\n\t", ""}}) {
        write_file(path, c.content);
        std::string version;
        EXPECT_TRUE(read_agent_version(path, version)) << c.content;
        EXPECT_EQ(version, c.version) << c.content;
    }
    std::string version;
    EXPECT_FALSE(read_agent_version((dir / "missing").string(), version));
    EXPECT_EQ(version, "");
}

TEST(ServerUrl, ComposedVerbatim)
{
    const auto config = nlohmann::json::parse(
        R"({"server_proto":"HTTPS","server_url":"updates.example","server_port":"","other":1})");
    std::string problem;
    ASSERT_TRUE(check_config(config, problem));
    EXPECT_EQ(compose_server_url(config), "HTTPS://updates.example:");
    EXPECT_FALSE(server_uses_tls(config)) << "only the exact lower-case scheme means TLS";

    const auto tls =
        nlohmann::json::parse(R"({"server_proto":"https","server_url":"h","server_port":"8443"})");
    EXPECT_EQ(compose_server_url(tls), "https://h:8443");
    EXPECT_TRUE(server_uses_tls(tls));
    EXPECT_FALSE(server_uses_tls(nlohmann::json::parse(R"({"server_proto":"https "})")));
}

TEST(ServerUrl, AlternativeUrlTlsLooksAtTheFifthCharacterOnly)
{
    EXPECT_TRUE(url_uses_tls("https://a"));
    EXPECT_FALSE(url_uses_tls("http://a"));
    EXPECT_FALSE(url_uses_tls("https"));
    EXPECT_FALSE(url_uses_tls(""));
    EXPECT_TRUE(url_uses_tls("ftp:s//x"));
    EXPECT_FALSE(url_uses_tls("HTTPS://a"));
}

TEST(ServerUrl, ConfigOfTheWrongShapeNamesTheMember)
{
    struct Case {
        const char* document;
        const char* problem;
    };
    for (const Case& c : {
             Case{"[1]", "the document is an array, not an object"},
             Case{"null", "the document is null, not an object"},
             Case{R"({"server_url":"h","server_port":"1"})", "server_proto is missing"},
             Case{R"({"server_proto":"http","server_url":"h","server_port":8080})",
                  "server_port is a number, not a string"},
             Case{R"({"server_proto":"http","server_url":null,"server_port":"1"})",
                  "server_url is null, not a string"},
         }) {
        std::string problem;
        EXPECT_FALSE(check_config(nlohmann::json::parse(c.document), problem)) << c.document;
        EXPECT_EQ(problem, c.problem);
    }
}

TEST(Inventory, AlternativeUrls)
{
    std::vector<std::string> urls;
    std::string problem;
    ASSERT_TRUE(read_alternative_urls(
        nlohmann::json::parse(R"({"alternative_urls":["http://a","https://b/"],"x":1})"), urls, problem));
    EXPECT_EQ(urls, (std::vector<std::string>{"http://a", "https://b/"}));

    ASSERT_TRUE(read_alternative_urls(nlohmann::json::parse(R"({"alternative_urls":[]})"), urls, problem));
    EXPECT_TRUE(urls.empty());

    struct Case {
        const char* document;
        const char* problem;
    };
    for (const Case& c : {
             Case{"[\"http://a\"]", "the document is an array, not an object"},
             Case{"{}", "alternative_urls is missing"},
             Case{R"({"alternative_urls":"http://a"})", "alternative_urls is a string, not an array"},
             Case{R"({"alternative_urls":["http://a",3]})", "alternative_urls[1] is a number, not a string"},
         }) {
        urls = {"kept"};
        EXPECT_FALSE(read_alternative_urls(nlohmann::json::parse(c.document), urls, problem)) << c.document;
        EXPECT_EQ(problem, c.problem);
        EXPECT_EQ(urls, std::vector<std::string>{"kept"}) << "nothing half-read is used";
    }
}

}  // namespace
