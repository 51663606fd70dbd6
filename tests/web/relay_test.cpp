// What a page may send on to its server: only names of its own session's
// files reach the server, and only through the members that take them.
#include <gtest/gtest.h>

#include <fstream>
#include <vector>

#include "relay.h"

namespace ternival::web {
namespace {

using nlohmann::json;

class Relay : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("ternival-relay-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        std::filesystem::create_directories(dir_);
        std::ofstream(dir_ / "mine.toml") << "x";
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    // The forwarded request, or the refusal's sentence.
    std::pair<json, std::string> Check(const json& req) {
        json out;
        std::string error;
        const bool ok = CheckRequest(req, dir_, out, error);
        EXPECT_EQ(ok, error.empty());
        return {out, error};
    }
    static json Invoke(const std::string& member, json args) {
        return {{"jsonrpc", "2.0"}, {"id", 7}, {"method", "invoke"},
                {"params", {{"object", 1}, {"member", member}, {"args", args}}}};
    }
    std::filesystem::path dir_;
};

TEST_F(Relay, ProblemFileNamesBecomePathsOfTheSessionDirectory) {
    for (const json& arg : {json("mine.toml"), json{{"vt", "BSTR"}, {"value", "mine.toml"}}}) {
        for (const char* member : {"InitFromVmpdfFile", "initfromvmpdffile", "OpenVmpdfFile", "CloseVmpdfFile"}) {
            const auto [out, error] = Check(Invoke(member, json::array({arg})));
            ASSERT_EQ(error, "") << member;
            EXPECT_EQ(out["params"]["args"][0]["value"], (dir_ / "mine.toml").string()) << member;
            EXPECT_EQ(out["id"], 7);
        }
    }
    // The application's CloseVmpdfFile takes no file.
    EXPECT_EQ(Check(Invoke("CloseVmpdfFile", json::array())).second, "");
}

TEST_F(Relay, PathTricksAndOtherFilesAreRefused) {
    std::ofstream(dir_.parent_path() / "ternival-relay-outside.toml") << "x";
    for (const std::string& name : std::vector<std::string>{"../ternival-relay-outside.toml", "/etc/passwd",
                                                            "sub/mine.toml", ".mine.toml", "mine.toml/", "..", "",
                                                            "missing.toml", "mine.toml\n", "a\\b.toml",
                                                            std::string(101, 'a')})
        EXPECT_NE(Check(Invoke("InitFromVmpdfFile", json::array({name}))).second, "") << name;
    std::filesystem::remove(dir_.parent_path() / "ternival-relay-outside.toml");
    // No name, a name that is no string, and the member that takes a directory.
    EXPECT_NE(Check(Invoke("InitFromVmpdfFile", json::array({42}))).second, "");
    EXPECT_NE(Check(Invoke("InitFromVmpdfFile", json::array())).second, "");
    EXPECT_NE(Check(Invoke("InitFromVmpdfFileWithCWD", json::array({"mine.toml", "/"}))).second, "");
}

TEST_F(Relay, OnlyCallsByNameOfObjectsTheSessionHasAreRelayed) {
    // Other methods, malformed requests, and calls by dispatch identifier,
    // by which InitFromVmpdfFile would pass unchecked.
    const json refused[] = {
        {{"jsonrpc", "2.0"}, {"id", 1}, {"method", "create"}, {"params", {{"class", "x"}}}},
        {{"jsonrpc", "2.0"}, {"id", 1}, {"method", "shutdown"}},
        json::array({1, 2}),
        {{"method", 5}},
        {{"jsonrpc", "2.0"}, {"id", 1}, {"method", "invoke"},
         {"params", {{"object", 1}, {"dispid", 3}, {"args", {"/etc/passwd"}}}}},
        {{"jsonrpc", "2.0"}, {"id", 1}, {"method", "invoke"},
         {"params", {{"object", 1}, {"member", "InitFromVmpdfFile"}, {"dispid", 3}, {"args", {"mine.toml"}}}}},
    };
    for (const json& request : refused) EXPECT_NE(Check(request).second, "") << request.dump();
    EXPECT_EQ(Check({{"jsonrpc", "2.0"}, {"id", 1}, {"method", "typelib"}}).second, "");
    EXPECT_EQ(Check({{"jsonrpc", "2.0"}, {"id", 1}, {"method", "release"}, {"params", {{"object", 2}}}}).second, "");
    const auto [out, error] = Check(Invoke("GetBoilingPoint", json::array({json::array({0.2, 0.3, 0.5})})));
    EXPECT_EQ(error, "");
    EXPECT_EQ(out["params"]["args"][0][1], 0.3);
}

}  // namespace
}  // namespace ternival::web
