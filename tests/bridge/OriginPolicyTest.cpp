// The origins the bridge serves: secure pages only, written as browsers
// write origins.
#include <gtest/gtest.h>

#include <string>

#include "bridge/OriginPolicy.h"

namespace {

bool Accepted(const std::string& text) {
  consent::Origin origin;
  return bridge::AcceptOrigin(text, &origin);
}

TEST(OriginPolicy, SecurePagesAreServed) {
  for (const char* text : {"https://a.example", "https://a.example:8443", "https://xn--fsq.example",
                           "https://127.0.0.1", "https://[2001:db8::1]", "http://localhost",
                           "http://localhost:8080", "http://127.0.0.1:3000", "http://[::1]",
                           "http://[::1]:9"}) {
    EXPECT_TRUE(Accepted(text)) << text;
  }
  consent::Origin origin;
  ASSERT_TRUE(bridge::AcceptOrigin("https://a.example:8443", &origin));
  EXPECT_EQ(origin.text, "https://a.example:8443");
  EXPECT_EQ(origin.port, 8443);
}

TEST(OriginPolicy, EverythingElseIsRefused) {
  const std::string cases[] = {
      "",
      "null",
      "http://a.example",            // plain http off the machine
      "http://192.168.0.1",
      "http://127.0.0.2",            // loopback, but not a name browsers call secure
      "http://a.localhost",
      "http://[::2]",
      "file://",
      "ftp://a.example",
      "ws://localhost",
      "chrome-extension://paojbdpmojlneibjgjlcnepdkkedbhcm",
      "moz-extension://0b7b5b1e-8d7c-4a53-8b0f-3b8a1e8b9f00",
      "https://a.example/",          // a path, even a lone slash
      "https://a.example/x",
      "https://a.example?q",
      "https://a.example#f",
      "https://user@a.example",
      "https://a.example:0",
      "https://a.example:65536",
      "https://a.example:",
      "https:///a.example",
      "https://a..example",
      "https://a.example.",
      "https://\xC3\xA9.example",    // not in its punycode form
      "https://a example",
      "https:// a.example",
      "https://a.example\n",
      "HTTP://LOCALHOST:99999",
      "https://" + std::string(247, 'a') + ".example",  // 256 characters
  };
  for (const std::string& text : cases) EXPECT_FALSE(Accepted(text)) << text;
  // 255 characters in labels of at most 63: still an origin.
  std::string host;
  while (host.size() < 255 - 8 - 8) host += std::string(60, 'b') + ".";
  host.resize(255 - 8 - 8);
  if (host.back() == '.') host.back() = 'c';
  const std::string longest = "https://" + host + ".example";
  ASSERT_EQ(longest.size(), 255u);
  EXPECT_TRUE(Accepted(longest)) << longest;
}

}  // namespace
