// The Twitch bridge against a real IRC server: ngircd on loopback with TLS (its
// certificate from a throw-away CA given as --tls-ca). A plain IRC client of the
// test's own sits in the channel and speaks; the bridge registers, joins, keeps
// the connection through PINGs, stores the line, and comes back after ngircd is
// killed and started again on the same ports. ngircd sends no Twitch tags, so
// senders are their logins there.
#include <sys/stat.h>

#include <fstream>

#include "bridge_test_util.h"
#include "service_fixture.h"

using namespace service_test;
using namespace bridge_test;

namespace {

const char* const NGIRCD = "/usr/sbin/ngircd";

int free_port() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

// ngircd in the foreground with a configuration of the test's (its log in the folder).
std::unique_ptr<Child> start_ngircd(const std::string& dir, int plain, int tls) {
    std::ofstream(dir + "/ngircd.conf")
        << "[Global]\nName = irc.vimo.test\nInfo = vimo test\nListen = 127.0.0.1\nPorts = " << plain
        << "\nPidFile = /dev/null\nMotdPhrase = hello\n"
           "[Limits]\nMaxNickLength = 20\nPingTimeout = 5\nPongTimeout = 5\n"  // ngircd's lowest
           "[Options]\nPAM = no\nDNS = no\nIdent = no\n"
           "[SSL]\nCertFile = " << dir << "/certs/server.pem\nKeyFile = " << dir << "/certs/server.key\nPorts = " << tls << "\n";
    std::string cmd = std::string("exec ") + NGIRCD + " -n -f " + dir + "/ngircd.conf >>" + dir + "/ngircd.log 2>&1";
    auto child = std::make_unique<Child>(std::vector<std::string>{"/bin/sh", "-c", cmd});
    bool up = wait_until(20, [&] { return LineSocket(plain).ok() && LineSocket(tls).ok(); });
    return up ? std::move(child) : nullptr;
}

// A plain IRC client in #vimo that waits until a justinfan (the bridge) is there too.
class Talker {
public:
    explicit Talker(int port) : socket_(port) {}
    bool join_and_wait_for_bridge() {
        socket_.send_line("NICK tester");
        socket_.send_line("USER tester 0 * :tester");
        bool welcomed = false, bridge_here = false;
        std::string line;
        while (!bridge_here && socket_.read_line(&line, 30)) {
            if (line.rfind("PING", 0) == 0) socket_.send_line("PONG" + line.substr(4));
            if (!welcomed && line.find(" 001 ") != std::string::npos) {
                welcomed = true;
                socket_.send_line("JOIN #vimo");
            }
            // In the NAMES answer when it joined first, or its JOIN when it comes later.
            bool names = line.find(" 353 ") != std::string::npos && line.find("justinfan") != std::string::npos;
            bool joins = line.rfind(":justinfan", 0) == 0 && line.find(" JOIN ") != std::string::npos;
            bridge_here = welcomed && (names || joins);
        }
        return bridge_here;
    }
    void say(const std::string& text) { socket_.send_line("PRIVMSG #vimo :" + text); }

private:
    LineSocket socket_;
};

class TwitchBridgeNgircdTest : public ServiceTest {};

TEST_F(TwitchBridgeNgircdTest, JoinsStoresAndRejoinsARealIrcServer) {
    struct stat st {};
    if (stat(NGIRCD, &st) != 0) GTEST_SKIP() << "ngircd is not installed (Debian: apt-get install ngircd)";
    std::string certs = dir + "/certs";
    std::string make = "/usr/bin/python3 -c \"import sys; sys.path.insert(0, '" + std::string(VIMO_SCRIPTED_DIR) +
                       "'); import tlsutil; tlsutil.make_certs('" + certs + "')\"";
    ASSERT_EQ(std::system(make.c_str()), 0);
    chmod(dir.c_str(), 0755);  // ngircd leaves root for "nobody"; it reads its files before
    int plain = free_port(), tls = free_port();
    auto ngircd = start_ngircd(dir, plain, tls);
    ASSERT_TRUE(ngircd) << "ngircd did not listen; see " << dir << "/ngircd.log";

    options.bridges.twitch_channels = {"vimo"};
    options.bridges.twitch_server = "localhost:" + std::to_string(tls);
    options.bridges.tls_ca = certs + "/ca.pem";
    options.bridges.twitch_silence_s = 4;  // our PING after 2 s of quiet; ngircd's own after 5 s
    restart();
    auto bridge = [&] { return call("GET", "/api/admin/bridges", "", token).parsed()["bridges"][0]; };
    auto stored = [&](const std::string& text) {
        for (const json& m : chat(100))
            if (m["text"] == text) return m["chatter"] == json({{"twitch", "tester"}});
        return false;
    };

    auto talker = std::make_unique<Talker>(plain);
    ASSERT_TRUE(talker->join_and_wait_for_bridge());
    talker->say("hello from ngircd");
    ASSERT_TRUE(wait_until(15, [&] { return stored("hello from ngircd"); }));
    EXPECT_EQ(get("/api/user?select=twitch.name&where=twitch.id=tester").parsed()[0]["twitch"]["name"], "tester");
    // Three silence bounds with nothing said: the bridge's PINGs, answered by ngircd,
    // keep the one connection (and ngircd drops a client that leaves its PINGs unanswered).
    EXPECT_FALSE(wait_until(12, [&] { return bridge()["reconnects"] != 0 || bridge()["state"] != "connected"; }))
        << bridge();

    // ngircd killed and started again on the same ports: the bridge rejoins.
    talker.reset();
    ngircd->kill();
    ASSERT_TRUE(wait_until(10, [&] { return bridge()["state"] == "backing off"; }));
    ngircd = start_ngircd(dir, plain, tls);
    ASSERT_TRUE(ngircd);
    talker = std::make_unique<Talker>(plain);
    ASSERT_TRUE(talker->join_and_wait_for_bridge());
    talker->say("after the restart");
    ASSERT_TRUE(wait_until(15, [&] { return stored("after the restart"); }));
    json r = bridge();
    EXPECT_EQ(r["state"], "connected");
    EXPECT_EQ(r["reconnects"], 1);
    EXPECT_EQ(r["stored"], 2);
}

}  // namespace
