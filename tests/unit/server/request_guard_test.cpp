#include "core/config.h"
#include "core/state.h"
#include "server/request_guard.h"
#include <gtest/gtest.h>
#include <string>

namespace {

bool host_ok(const std::string& host, const std::string& own = "build-7")
{
    return host_allowed_for({ host.data(), (i64)host.size() }, { own.data(), (i64)own.size() });
}

void config(const std::string& text) { apply_config_text(text.data(), (i64)text.size()); }

TEST(HostAllowed, AddressesLocalhostOwnNameAndListedNames)
{
    config("");
    for (const char* host : { "127.0.0.1", "127.0.0.1:7575", "10.1.2.3", "[::1]:7575", "[fe80::1]", "localhost", "LocalHost:7575",
             "localhost.", "build-7", "BUILD-7:80" })
        EXPECT_TRUE(host_ok(host)) << host;
    for (const char* host :
        { "evil.example", "evil.example:7575", "127.0.0.1.evil.example", "256.1.1.1", "1.2.3", "1.2.3.4.5", "localhost.evil", "", ":7575" })
        EXPECT_FALSE(host_ok(host)) << host;
    EXPECT_FALSE(host_ok("build-7", ""));
    config("server_names= sandbox.internal ,Box.Example\nport=7575\n");
    EXPECT_TRUE(host_ok("sandbox.internal:7575"));
    EXPECT_TRUE(host_ok("box.example"));
    EXPECT_FALSE(host_ok("example"));
    config("server_names=*\n");
    EXPECT_TRUE(host_ok("anything.example"));
    config("");
    EXPECT_FALSE(host_ok("anything.example"));
}

TEST(HostAllowed, ServerNamesSurviveALoginChange)
{
    config("server_names=a.example,b.example\n");
    std::string out(k_config_text_size, '\0');
    i64 n = build_config_text(out.data(), "u:p", 3, 7575);
    EXPECT_EQ(out.substr(0, n), "u:p\nport=7575\nserver_names=a.example,b.example\n");
    config("");
}

bool cross(const std::string& head)
{
    Frame frame = frame_request(head.data(), (i64)head.size(), request_body_limit(k_default_max_file_bytes));
    EXPECT_EQ(frame.state, k_frame_complete) << head;
    return frame.state == k_frame_complete && cross_site_request(frame.request);
}

TEST(CrossSiteRequest, FormsFromOtherOriginsAreRefused)
{
    const std::string post = "POST /api/profile HTTP/1.1\r\nHost: 127.0.0.1:7575\r\n";
    EXPECT_TRUE(cross(post + "Origin: http://evil.example\r\nContent-Type: text/plain\r\n\r\n{}"));
    EXPECT_TRUE(cross(post + "Origin: null\r\nContent-Type: application/x-www-form-urlencoded\r\n\r\n"));
    EXPECT_TRUE(cross(post + "Origin: http://evil.example\r\nContent-Type: Multipart/Form-Data; boundary=x\r\n\r\n"));
    EXPECT_TRUE(cross(post + "Origin: http://evil.example\r\n\r\n"));
    EXPECT_TRUE(cross("DELETE /api/sandbox HTTP/1.1\r\nHost: 127.0.0.1:7575\r\nOrigin: http://127.0.0.1:8888\r\n\r\n"));
    EXPECT_TRUE(cross("PUT /api/x HTTP/1.1\r\nOrigin: http://evil.example\r\n\r\n"));
}

TEST(CrossSiteRequest, PreflightedOwnAndOriginlessRequestsPass)
{
    const std::string post = "POST /api/exec HTTP/1.1\r\nHost: 127.0.0.1:7575\r\n";
    EXPECT_FALSE(cross(post + "Origin: http://evil.example\r\nContent-Type: application/json\r\n\r\n{}"));
    EXPECT_FALSE(cross(post + "Origin: http://127.0.0.1:7575\r\nContent-Type: text/plain\r\n\r\n{}"));
    EXPECT_FALSE(cross(post + "Origin: https://127.0.0.1:7575\r\n\r\n{}"));
    EXPECT_FALSE(cross(post + "Content-Type: text/plain\r\n\r\n{}"));
    EXPECT_FALSE(cross("GET /api/health HTTP/1.1\r\nOrigin: http://evil.example\r\n\r\n"));
    // An Origin line in the body is no header.
    EXPECT_FALSE(cross(post + "\r\nOrigin: http://evil.example\r\n"));
}

TEST(CrossSiteRequest, NavigationsAndNoCorsRequestsToTheApiAreRefused)
{
    EXPECT_TRUE(cross("GET /api/health HTTP/1.1\r\nSec-Fetch-Mode: navigate\r\n\r\n"));
    EXPECT_TRUE(cross("POST /api/exec HTTP/1.1\r\nSec-Fetch-Mode: no-cors\r\n\r\n"));
    EXPECT_TRUE(cross("POST /mcp HTTP/1.1\r\nSec-Fetch-Mode: navigate\r\n\r\n"));
    EXPECT_FALSE(cross("GET / HTTP/1.1\r\nSec-Fetch-Mode: navigate\r\n\r\n"));
    EXPECT_FALSE(cross("GET /apix HTTP/1.1\r\nSec-Fetch-Mode: navigate\r\n\r\n"));
    EXPECT_TRUE(cross("GET /mcp?x=1 HTTP/1.1\r\nSec-Fetch-Mode: no-cors\r\n\r\n"));
    // The method is the request line's whole first word.
    EXPECT_FALSE(cross("POSTED /api/exec HTTP/1.1\r\nOrigin: http://evil.example\r\n\r\n"));
    EXPECT_FALSE(cross("GET /api/health HTTP/1.1\r\nSec-Fetch-Mode: cors\r\n\r\n"));
    EXPECT_FALSE(cross("GET /api/health HTTP/1.1\r\nSec-Fetch-Mode: same-origin\r\n\r\n"));
}

} // namespace
