#include "fleet/fleet_page.h"
#include "fleet/fleet_response.h"
#include <gtest/gtest.h>
#include <string>
#include <vector>

TEST(BuildFleetResponse, WritesHeaderThenPageUnchanged)
{
    std::string page = "<p>hi</p>";
    std::vector<char> buf(k_fleet_response_buffer, '\0');
    i64 len = build_fleet_response(buf.data(), page.data(), (i64)page.size());
    std::string text(buf.data(), len);
    EXPECT_EQ(text,
        "HTTP/1.1 200 OK\r\n"
        "Content-Type: text/html; charset=utf-8\r\n"
        "Connection: close\r\n"
        "Content-Length: 9\r\n"
        "\r\n"
        "<p>hi</p>");
}

TEST(BuildFleetResponse, FitsAFullPageBuffer)
{
    // The largest page the builder may produce, with a five-digit Content-Length.
    std::vector<char> page(k_fleet_page_buffer, 'x');
    std::vector<char> buf(k_fleet_response_buffer, '\0');
    i64 len = build_fleet_response(buf.data(), page.data(), k_fleet_page_buffer);
    EXPECT_LE(len, k_fleet_response_buffer);
    EXPECT_EQ(len - k_fleet_page_buffer, k_fleet_header_max);
    EXPECT_EQ(std::string(buf.data(), 101).substr(76, 25), "Content-Length: 65536\r\n\r\n");
}
