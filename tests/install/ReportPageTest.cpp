// The test page's server reads what any local process may send within its
// bounds, answers only under its token, and hands over the page's report.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "install/ReportPage.h"
#include "install/RoundTrip.h"

namespace {

using install::HeadState;
using install::ParseRequestHead;

TEST(ReportPage, RequestHeadsAreReadWithinTheirBounds) {
  const auto get = ParseRequestHead("GET /t0k/?try=2 HTTP/1.1\r\nHost: x\r\n\r\nrest");
  ASSERT_EQ(get.state, HeadState::Complete);
  EXPECT_EQ(get.head.method, "GET");
  EXPECT_EQ(get.head.path, "/t0k/");  // the page's reload counter is no part of the path
  EXPECT_EQ(get.headBytes, 37u);

  const auto post = ParseRequestHead("POST /t/report HTTP/1.1\r\ncontent-length:  12 \r\n\r\n");
  ASSERT_EQ(post.state, HeadState::Complete);
  EXPECT_EQ(post.head.contentLength, 12u);

  EXPECT_EQ(ParseRequestHead("GET / HTTP/1.1\r\nHost: x\r\n").state, HeadState::Incomplete);
  EXPECT_EQ(ParseRequestHead("").state, HeadState::Incomplete);
  EXPECT_EQ(ParseRequestHead(std::string(install::kMaxRequestHead, 'a')).state, HeadState::Bad);
  const std::string longHead =
      "GET / HTTP/1.1\r\nX: " + std::string(install::kMaxRequestHead, 'a') + "\r\n\r\n";
  EXPECT_EQ(ParseRequestHead(longHead).state, HeadState::Bad);
  for (const char* bad : {
           "GET / HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 1\r\n\r\n",
           "POST / HTTP/1.1\r\nContent-Length: 65537\r\n\r\n",
           "POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n",
           "POST / HTTP/1.1\r\nContent-Length: 1x\r\n\r\n",
           "POST / HTTP/1.1\r\nContent-Length: 99999999999999999999999\r\n\r\n",
           "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n",
           "GET / HTTP/1.1\r\nno colon\r\n\r\n",
           "GET /\r\n\r\n",
           "GET  / HTTP/1.1\r\n\r\n",
           "GET x HTTP/1.1\r\n\r\n",
           "GET / FTP/1.0\r\n\r\n",
       }) {
    EXPECT_EQ(ParseRequestHead(bad).state, HeadState::Bad) << bad;
  }
}

// One request on a fresh connection; the whole answer.
std::string Exchange(int port, const std::string& request) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return "no connection";
  }
  ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  std::string answer;
  char buffer[4096];
  ssize_t n;
  while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) answer.append(buffer, n);
  ::close(fd);
  return answer;
}

int PortOf(const std::string& url) {
  return std::stoi(url.substr(std::string("http://127.0.0.1:").size()));
}

std::string PathOf(const std::string& url) {
  return url.substr(url.find('/', std::string("http://").size()));
}

TEST(ReportPage, ServesThePageUnderItsTokenAndTakesTheReport) {
  auto page = install::ReportPage::Open("<p>the page</p>");
  ASSERT_TRUE(page);
  const std::string url = page->Url();
  ASSERT_TRUE(url.starts_with("http://127.0.0.1:"));
  const std::string path = PathOf(url);
  EXPECT_EQ(path.size(), 34u);  // "/" + 32 hex digits + "/"

  std::string pageAnswer, wrongToken, badRequest, reportAnswer;
  std::thread client([&] {
    const int port = PortOf(url);
    // Idle connections past the server's limit must not keep the page out.
    std::vector<int> idle;
    for (int i = 0; i < 20; ++i) {
      const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_port = htons(static_cast<uint16_t>(port));
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
      idle.push_back(fd);
    }
    pageAnswer = Exchange(port, "GET " + path + "?try=1 HTTP/1.1\r\nHost: x\r\n\r\n");
    wrongToken = Exchange(port, "GET /" + std::string(32, '0') + "/ HTTP/1.1\r\n\r\n");
    badRequest = Exchange(port, "POST " + path + "report HTTP/1.1\r\nContent-Length: 1e3\r\n\r\n");
    reportAnswer = Exchange(port, "POST " + path + "report HTTP/1.1\r\nContent-Length: 11\r\n\r\n" +
                                      "{\"ok\":true}trailing");
    for (int fd : idle) ::close(fd);
  });
  const auto report = page->WaitForReport(std::chrono::steady_clock::now() + std::chrono::seconds(60),
                                          [] { return true; });
  client.join();
  ASSERT_TRUE(report);
  EXPECT_EQ(*report, "{\"ok\":true}");
  EXPECT_TRUE(pageAnswer.starts_with("HTTP/1.1 200 OK\r\n")) << pageAnswer;
  EXPECT_TRUE(pageAnswer.ends_with("\r\n\r\n<p>the page</p>")) << pageAnswer;
  EXPECT_NE(pageAnswer.find("Cache-Control: no-store"), std::string::npos);
  EXPECT_TRUE(wrongToken.starts_with("HTTP/1.1 404")) << wrongToken;
  EXPECT_TRUE(badRequest.starts_with("HTTP/1.1 400")) << badRequest;
  EXPECT_TRUE(reportAnswer.starts_with("HTTP/1.1 204")) << reportAnswer;
}

TEST(ReportPage, StopsWaitingWhenTheBrowserIsGone) {
  auto page = install::ReportPage::Open("");
  ASSERT_TRUE(page);
  int asked = 0;
  const auto report = page->WaitForReport(
      std::chrono::steady_clock::now() + std::chrono::seconds(60), [&] { return ++asked < 3; });
  EXPECT_FALSE(report);
  EXPECT_EQ(asked, 3);
}

TEST(RoundTrip, ThePagesReportBecomesOneLine) {
  const auto ok = install::ReadReport(
      R"({"ok":true,"host":"3.4.0.1","version":"3.4.0.1","ms":12})");
  EXPECT_TRUE(ok.ok);
  EXPECT_EQ(ok.text, "the page reached npsigil-bridge 3.4.0.1 (GetVersion answered 3.4.0.1 in 12 ms)");
  const auto missing = install::ReadReport(
      R"({"ok":false,"stage":"host","reason":"host-unavailable","message":"No such native application"})");
  EXPECT_FALSE(missing.ok);
  EXPECT_EQ(missing.text,
            "the extension did not reach the host (host-unavailable): No such native application");
  // Whatever a local process posts instead of the page is only a failure.
  for (const char* odd : {"", "[]", "{\"ok\":\"yes\"}", "{\"ok\":true,\"ms\":\"x\"}", "\xff"}) {
    const auto result = install::ReadReport(odd);
    EXPECT_EQ(result.ok, std::string(odd).find("true") != std::string::npos) << odd;
  }
}

}  // namespace
