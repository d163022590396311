// Origins as pages and the user's tool hand them over: every spelling of
// one origin must come out as one text, and nothing that is not plainly an
// origin may pass for one.
#include <gtest/gtest.h>

#include <string>

#include "consent/Origin.h"

namespace {

using consent::IsSecureOrigin;
using consent::Origin;
using consent::ParseOrigin;

struct Valid {
  const char* text;
  const char* canonical;
  const char* scheme;
  const char* host;
  std::uint16_t port;
};

TEST(ParseOrigin, AcceptsOriginsAndWritesOneCanonicalText) {
  const Valid cases[] = {
      {"https://a.example", "https://a.example", "https", "a.example", 0},
      {"HTTPS://A.Example", "https://a.example", "https", "a.example", 0},
      {"https://a.example:443", "https://a.example", "https", "a.example", 0},
      {"http://a.example:80", "http://a.example", "http", "a.example", 0},
      {"https://a.example:80", "https://a.example:80", "https", "a.example", 80},
      {"http://a.example:443", "http://a.example:443", "http", "a.example", 443},
      {"https://a.example:8443", "https://a.example:8443", "https", "a.example", 8443},
      {"https://a.example:08443", "https://a.example:8443", "https", "a.example", 8443},
      {"https://a.example:65535", "https://a.example:65535", "https", "a.example", 65535},
      {"https://xn--bcher-kva.example", "https://xn--bcher-kva.example", "https",
       "xn--bcher-kva.example", 0},
      {"https://XN--BCHER-KVA.example", "https://xn--bcher-kva.example", "https",
       "xn--bcher-kva.example", 0},
      {"https://xn--80ak6aa92e.xn--p1ai", "https://xn--80ak6aa92e.xn--p1ai", "https",
       "xn--80ak6aa92e.xn--p1ai", 0},
      {"https://my_host-1.example", "https://my_host-1.example", "https", "my_host-1.example", 0},
      {"https://intranet", "https://intranet", "https", "intranet", 0},
      {"https://[::1]", "https://[::1]", "https", "[::1]", 0},
      {"https://[0:0:0:0:0:0:0:1]:8443", "https://[::1]:8443", "https", "[::1]", 8443},
      {"https://[2001:DB8::A]", "https://[2001:db8::a]", "https", "[2001:db8::a]", 0},
      // The first of two equally long zero runs is the one compressed.
      {"https://[2001:db8:0:0:1:0:0:1]", "https://[2001:db8::1:0:0:1]", "https",
       "[2001:db8::1:0:0:1]", 0},
      // A single zero group stays as it is.
      {"https://[2001:db8:0:1:1:1:1:1]", "https://[2001:db8:0:1:1:1:1:1]", "https",
       "[2001:db8:0:1:1:1:1:1]", 0},
      {"https://[::ffff:1.2.3.4]", "https://[::ffff:102:304]", "https", "[::ffff:102:304]", 0},
      {"https://[1::]", "https://[1::]", "https", "[1::]", 0},
      {"http://127.0.0.1:8080", "http://127.0.0.1:8080", "http", "127.0.0.1", 8080},
      {"https://10.0.0.255", "https://10.0.0.255", "https", "10.0.0.255", 0},
      {"http://localhost:3000", "http://localhost:3000", "http", "localhost", 3000},
      {"file://", "file://", "file", "", 0},
      {"FILE://", "file://", "file", "", 0},
  };
  for (const Valid& c : cases) {
    SCOPED_TRACE(c.text);
    Origin origin;
    ASSERT_TRUE(ParseOrigin(c.text, &origin));
    EXPECT_EQ(origin.text, c.canonical);
    EXPECT_EQ(origin.scheme, c.scheme);
    EXPECT_EQ(origin.host, c.host);
    EXPECT_EQ(origin.port, c.port);
    // The canonical text is a fixed point.
    Origin again;
    ASSERT_TRUE(ParseOrigin(origin.text, &again));
    EXPECT_EQ(again.text, origin.text);
  }
}

TEST(ParseOrigin, RefusesEverythingThatIsNotPlainlyAnOrigin) {
  const std::string label63(63, 'a');
  const char* cases[] = {
      "",
      "null",
      "NULL",
      "a.example",
      "https",
      "https:",
      "https:/a.example",
      "https//a.example",
      "https://",
      "HTTPS://",
      "https:///a.example",
      // Paths, queries, fragments, user info.
      "https://a.example/",
      "https://a.example/path",
      "https://a.example?q=1",
      "https://a.example#top",
      "https://user@a.example",
      "https://user:pw@a.example",
      "https://a.example\\x",
      // Other schemes.
      "ftp://a.example",
      "ws://a.example",
      "chrome-extension://abcdef",
      "moz-extension://x",
      "javascript://a.example",
      "data://x",
      "blob://https://a.example",
      // file: has exactly one origin.
      "file:///x",
      "file:///",
      "file://localhost",
      "file://host/share",
      // Ports.
      "https://a.example:",
      "https://a.example:0",
      "https://a.example:65536",
      "https://a.example:99999",
      "https://a.example:000443",
      "https://a.example:-1",
      "https://a.example:+80",
      "https://a.example:8a",
      "https://a.example:80:80",
      "https://:443",
      // Host names.
      "https://a..example",
      "https://.a.example",
      "https://a.example.",
      "https://a%2eexample",
      "https://a*.example",
      "https://xn--",
      "https://a.xn--.example",
      // Numeric hosts only in the form browsers write them.
      "https://127.1",
      "https://0x7f.0.0.1",
      "https://127.0.0.01",
      "https://256.0.0.1",
      "https://1.2.3.4.5",
      "https://1.2.3",
      "https://2130706433",
      // IPv6.
      "https://[::1",
      "https://::1",
      "https://[::1]x",
      "https://[::1]:",
      "https://[fe80::1%25eth0]",
      "https://[fe80::1%eth0]",
      "https://[1.2.3.4]",
      "https://[g::1]",
      "https://[]",
      "https://[1:2:3:4:5:6:7:8:9]",
      "https://[::1]]",
      // Characters.
      "https://a example",
      " https://a.example",
      "https://a.example ",
      "https://a.example\n",
      "https://a.\texample",
      "https://a.\x01example",
      "https://a.example\x7f",
      "https://b\xc3\xbc"
      "cher.example",
  };
  for (const char* text : cases) {
    Origin origin;
    origin.text = "untouched";
    EXPECT_FALSE(ParseOrigin(text, &origin)) << text;
    EXPECT_EQ(origin.text, "untouched") << text;
  }
  const std::string withNul("https://a.example\0.evil", 23);
  Origin origin;
  EXPECT_FALSE(ParseOrigin(withNul, &origin));
  EXPECT_FALSE(ParseOrigin("https://a.example", nullptr));
  // Labels and names at and past their limits.
  EXPECT_TRUE(ParseOrigin("https://" + label63 + ".example", &origin));
  EXPECT_FALSE(ParseOrigin("https://" + label63 + "a.example", &origin));
}

TEST(ParseOrigin, LengthIsBoundAt255Characters) {
  const std::string label63(63, 'a');
  // 8 + 63 + 1 + 63 + 1 + 63 + 1 + 55 = 255 characters, a 247-character host.
  const std::string longest =
      "https://" + label63 + "." + label63 + "." + label63 + "." + std::string(55, 'b');
  ASSERT_EQ(longest.size(), 255u);
  Origin origin;
  EXPECT_TRUE(ParseOrigin(longest, &origin));
  EXPECT_FALSE(ParseOrigin(longest + "b", &origin));
  // It would fit once the default port is dropped, but the bound is on the text as given.
  EXPECT_FALSE(ParseOrigin(longest + ":443", &origin));
  EXPECT_FALSE(ParseOrigin(std::string(100000, 'a'), &origin));
}

TEST(IsSecureOrigin, HttpsAndLoopbackHttpOnly) {
  const std::pair<const char*, bool> cases[] = {
      {"https://a.example", true},
      {"https://a.example:8443", true},
      {"https://[::1]", true},
      {"https://127.0.0.1", true},
      {"http://a.example", false},
      {"http://a.example:443", false},
      {"http://localhost", true},
      {"http://LOCALHOST:8080", true},
      {"http://a.localhost", true},
      {"http://a.b.localhost:1", true},
      {"http://localhost.example", false},
      {"http://notlocalhost", false},
      {"http://127.0.0.1", true},
      {"http://127.255.0.9:81", true},
      {"http://128.0.0.1", false},
      {"http://126.0.0.1", false},
      {"http://127.example", false},
      {"http://[::1]", true},
      {"http://[::1]:8080", true},
      {"http://[0::1]", true},
      {"http://[::2]", false},
      {"http://[::ffff:127.0.0.1]", false},
      {"http://10.0.0.1", false},
      {"file://", false},
  };
  for (const auto& [text, secure] : cases) {
    Origin origin;
    ASSERT_TRUE(ParseOrigin(text, &origin)) << text;
    EXPECT_EQ(IsSecureOrigin(origin), secure) << text;
  }
  EXPECT_FALSE(IsSecureOrigin(Origin{}));
}

}  // namespace
