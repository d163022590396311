#include "install/ReportPage.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cerrno>
#include <utility>

namespace install {

namespace {

constexpr std::size_t kMaxClients = 16;
constexpr int kPollSliceMs = 200;

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

void SendAll(int fd, std::string_view response) {
  // The answers are a few KiB, within any socket buffer: no waiting on a
  // client that does not read.
  while (!response.empty()) {
    const ssize_t n = ::send(fd, response.data(), response.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n <= 0) return;
    response.remove_prefix(static_cast<std::size_t>(n));
  }
}

std::string Response(std::string_view status, std::string_view type, std::string_view body) {
  std::string out = "HTTP/1.1 ";
  out += status;
  out += "\r\nConnection: close\r\nCache-Control: no-store\r\nContent-Length: ";
  out += std::to_string(body.size());
  if (!type.empty()) {
    out += "\r\nContent-Type: ";
    out += type;
  }
  out += "\r\n\r\n";
  out += body;
  return out;
}

std::string RandomToken() {
  unsigned char bytes[16];
  std::size_t got = 0;
  while (got < sizeof bytes) {
    const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
    if (n <= 0) return {};
    got += static_cast<std::size_t>(n);
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string token;
  for (unsigned char b : bytes) {
    token += kHex[b >> 4];
    token += kHex[b & 15];
  }
  return token;
}

}  // namespace

HeadParse ParseRequestHead(std::string_view bytes) {
  HeadParse parse;
  const std::size_t end = bytes.find("\r\n\r\n");
  if (end == std::string_view::npos) {
    parse.state = bytes.size() >= kMaxRequestHead ? HeadState::Bad : HeadState::Incomplete;
    return parse;
  }
  if (end + 4 > kMaxRequestHead) {
    parse.state = HeadState::Bad;
    return parse;
  }
  parse.state = HeadState::Bad;
  std::string_view head = bytes.substr(0, end);
  const std::size_t lineEnd = std::min(head.find("\r\n"), head.size());
  const std::string_view line = head.substr(0, lineEnd);
  head.remove_prefix(std::min(head.size(), lineEnd + 2));
  const std::size_t s1 = line.find(' ');
  const std::size_t s2 = s1 == std::string_view::npos ? s1 : line.find(' ', s1 + 1);
  if (s2 == std::string_view::npos || s1 == 0 || s2 == s1 + 1) return parse;
  if (!line.substr(s2 + 1).starts_with("HTTP/1.")) return parse;
  std::string_view target = line.substr(s1 + 1, s2 - s1 - 1);
  if (target.front() != '/') return parse;
  target = target.substr(0, target.find('?'));
  bool haveLength = false;
  while (!head.empty()) {
    const std::size_t next = std::min(head.find("\r\n"), head.size());
    const std::string_view field = head.substr(0, next);
    head.remove_prefix(std::min(head.size(), next + 2));
    const std::size_t colon = field.find(':');
    if (colon == std::string_view::npos || colon == 0) return parse;
    const std::string_view name = field.substr(0, colon);
    const std::string_view value = Trim(field.substr(colon + 1));
    if (EqualsNoCase(name, "Transfer-Encoding")) return parse;  // chunked bodies: not for us
    if (!EqualsNoCase(name, "Content-Length")) continue;
    std::size_t length = 0;
    const auto [ptr, ec] = std::from_chars(value.data(), value.data() + value.size(), length);
    if (haveLength || value.empty() || ec != std::errc() || ptr != value.data() + value.size() ||
        length > kMaxReportBytes)
      return parse;
    haveLength = true;
    parse.head.contentLength = length;
  }
  parse.head.method = std::string(line.substr(0, s1));
  parse.head.path = std::string(target);
  parse.headBytes = end + 4;
  parse.state = HeadState::Complete;
  return parse;
}

std::optional<ReportPage> ReportPage::Open(std::string html) {
  std::string token = RandomToken();
  if (token.empty()) return std::nullopt;
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return std::nullopt;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, 16) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(fd);
    return std::nullopt;
  }
  return ReportPage(fd, ntohs(address.sin_port), std::move(token), std::move(html));
}

ReportPage::ReportPage(int listener, int port, std::string token, std::string html)
    : listener_(listener), port_(port), token_(std::move(token)), html_(std::move(html)) {}

ReportPage::ReportPage(ReportPage&& other) noexcept
    : listener_(std::exchange(other.listener_, -1)),
      port_(other.port_),
      token_(std::move(other.token_)),
      html_(std::move(other.html_)),
      clients_(std::move(other.clients_)) {
  other.clients_.clear();
}

ReportPage::~ReportPage() {
  for (const Client& client : clients_) ::close(client.fd);
  if (listener_ >= 0) ::close(listener_);
}

std::string ReportPage::Url() const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/" + token_ + "/";
}

std::optional<std::string> ReportPage::Serve(Client& client, bool* done) {
  *done = true;
  const HeadParse parse = ParseRequestHead(client.bytes);
  if (parse.state == HeadState::Incomplete) {
    *done = false;
    return std::nullopt;
  }
  if (parse.state == HeadState::Bad) {
    SendAll(client.fd, Response("400 Bad Request", "", ""));
    return std::nullopt;
  }
  const RequestHead& head = parse.head;
  const std::string base = "/" + token_ + "/";
  if (head.method == "GET" && head.path == base) {
    SendAll(client.fd, Response("200 OK", "text/html; charset=utf-8", html_));
    return std::nullopt;
  }
  if (head.method == "POST" && head.path == base + "report") {
    if (client.bytes.size() < parse.headBytes + head.contentLength) {
      *done = false;
      return std::nullopt;
    }
    SendAll(client.fd, Response("204 No Content", "", ""));
    return client.bytes.substr(parse.headBytes, head.contentLength);
  }
  SendAll(client.fd, Response("404 Not Found", "", ""));
  return std::nullopt;
}

std::optional<std::string> ReportPage::WaitForReport(
    std::chrono::steady_clock::time_point deadline, const std::function<bool()>& stillWaiting) {
  while (std::chrono::steady_clock::now() < deadline && stillWaiting()) {
    std::vector<pollfd> fds{{listener_, POLLIN, 0}};
    for (const Client& client : clients_) fds.push_back({client.fd, POLLIN, 0});
    if (::poll(fds.data(), fds.size(), kPollSliceMs) < 0 && errno != EINTR) return std::nullopt;
    std::optional<std::string> report;
    for (std::size_t i = 1; i < fds.size(); ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      Client& client = clients_[i - 1];
      char buffer[4096];
      const ssize_t n = ::recv(client.fd, buffer, sizeof buffer, 0);
      bool done = n <= 0;
      if (n > 0) {
        client.bytes.append(buffer, static_cast<std::size_t>(n));
        if (client.bytes.size() > kMaxRequestHead + kMaxReportBytes) {
          SendAll(client.fd, Response("413 Content Too Large", "", ""));
          done = true;
        } else if (auto body = Serve(client, &done)) {
          report = std::move(body);
        }
      }
      if (done) {
        ::close(client.fd);
        client.fd = -1;
      }
    }
    std::erase_if(clients_, [](const Client& client) { return client.fd < 0; });
    if (report) return report;
    if (fds[0].revents & POLLIN) {
      const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      // Idle connections must not crowd out the page's: the oldest goes.
      if (fd >= 0 && clients_.size() >= kMaxClients) {
        ::close(clients_.front().fd);
        clients_.erase(clients_.begin());
      }
      if (fd >= 0) clients_.push_back({fd, {}});
    }
  }
  return std::nullopt;
}

}  // namespace install
