// The fixture of the service's tests: a vimo-service on a loopback port with a
// database file in a directory of its own, and calls to it over real HTTP.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>
#include <sqlite3.h>

#include "service.h"

namespace service_test {

using nlohmann::json;

struct Answer {
    int status = 0;
    std::string body;
    std::string type;
    httplib::Headers headers;
    json parsed() const { return json::parse(body); }
    std::string header(const char* key) const {
        auto it = headers.find(key);
        return it == headers.end() ? "" : it->second;
    }
};

class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/vimo-service-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        // No test reaches the real emote providers; LookTest turns them on at its stand-in.
        options.emotes.third_party = false;
        start();
        bool created = false;
        token = service_admin_token(*service, &created);
        EXPECT_TRUE(created);
        EXPECT_EQ(token.size(), 32u);
    }
    void TearDown() override {
        stop();
        std::filesystem::remove_all(dir);
    }
    void start() {
        ServiceOptions o = options;
        o.port = 0;
        o.db_path = dir + "/service.db";
        o.threads = threads;
        std::string error;
        service = service_create(o, &error);
        ASSERT_TRUE(service) << error;
        port = service_bind(*service);
        ASSERT_GT(port, 0);
        // As main.cpp does: the bridges the options ask for start before the
        // HTTP threads that report them.
        bridge_lines = service_start_bridges(*service);
        thread = std::thread([this] { service_run(*service); });
        ASSERT_TRUE(service_wait_running(*service, 10000));
    }
    void stop() {
        if (!service) return;
        service_stop(*service);
        thread.join();
        service_destroy(service);
    }
    void restart() {
        stop();
        start();
    }

    Answer call(const std::string& method, const std::string& target, const std::string& body = "",
                const std::string& auth = "", const std::string& type = "application/json",
                httplib::Headers h = {}) {
        httplib::Client c("127.0.0.1", port);
        if (!auth.empty()) h.emplace("Authorization", "Bearer " + auth);
        // A form is posted as a browser posts it from the service's own page,
        // unless the test says where it comes from.
        if (type == "application/x-www-form-urlencoded" && !h.count("Sec-Fetch-Site") && !h.count("Origin"))
            h.emplace("Sec-Fetch-Site", "same-origin");
        httplib::Result r = method == "GET" ? c.Get(target, h) : c.Post(target, h, body, type);
        Answer a;
        if (!r) return a;
        a.status = r->status;
        a.body = r->body;
        a.type = r->get_header_value("Content-Type");
        a.headers = r->headers;
        return a;
    }
    Answer get(const std::string& target) { return call("GET", target); }
    Answer admin(const std::string& path, const json& body) { return call("POST", path, body.dump(), token); }
    std::string ingest(const std::string& platform, const std::string& id, const std::string& name,
                       const std::string& text) {
        Answer a = admin("/api/ingest", {{"platform", platform}, {"sender_id", id}, {"sender_name", name}, {"text", text}});
        EXPECT_EQ(a.status, 200) << a.body;
        return a.parsed()["message"].get<std::string>();
    }
    // Link login_id through the browser page as name; returns the account's id text.
    std::string link(const std::string& login_id, const std::string& name) {
        json ask = get("/api/vimoexe/login?id=" + login_id).parsed();
        std::string url = ask["url"].get<std::string>();
        std::string token_value = url.substr(url.find("token=") + 6);
        Answer done = call("POST", "/link", "token=" + token_value + "&name=" + name, "",
                           "application/x-www-form-urlencoded");
        EXPECT_EQ(done.status, 200) << done.body;
        return get("/api/vimoexe/login?id=" + login_id).parsed()["user"]["id"].get<std::string>();
    }
    json chat(int count) { return get("/api/chat?count=" + std::to_string(count)).parsed(); }
    // Submit login_id's link page with name (percent-encoded); the page's status.
    int try_link(const std::string& login_id, const std::string& name) {
        std::string url = get("/api/vimoexe/login?id=" + login_id).parsed()["url"];
        return call("POST", "/link", "token=" + url.substr(url.find("token=") + 6) + "&name=" + name, "",
                    "application/x-www-form-urlencoded")
            .status;
    }
    // A number read from the database file on a connection of the test's own.
    std::string db_bytes() {
        std::ifstream f(dir + "/service.db", std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(f), {});
    }
    unsigned file_mode(const std::string& name) {
        struct stat st{};
        return stat((dir + "/" + name).c_str(), &st) == 0 ? unsigned(st.st_mode & 0777) : 0u;
    }
    std::string db_text(const char* sql) {
        sqlite3* db = nullptr;
        EXPECT_EQ(sqlite3_open_v2((dir + "/service.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
        sqlite3_stmt* st = nullptr;
        std::string out = "?";
        if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW)
            out = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
        sqlite3_finalize(st);
        sqlite3_close(db);
        return out;
    }
    int64_t db_number(const char* sql) { return std::stoll(db_text(sql)); }

    ServiceOptions options;  // of the next start
    int threads = 8;         // the HTTP pool of the next start
    std::vector<std::string> bridge_lines;  // what service_start_bridges said at the last start
    std::string dir, token;
    ServicePtr service;
    std::thread thread;
    int port = 0;
};

}  // namespace service_test
