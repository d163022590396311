// The one-page web server behind `npsigil-cert browser test`: on the
// loopback it serves a page that calls npSigil, and takes back the page's
// report. Any local process can connect, so requests are read within fixed
// bounds and only the paths under a random token are answered.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace install {

inline constexpr std::size_t kMaxRequestHead = 8 << 10;
inline constexpr std::size_t kMaxReportBytes = 64 << 10;

struct RequestHead {
  std::string method;
  std::string path;  // without the query
  std::size_t contentLength = 0;
};

enum class HeadState { Incomplete, Complete, Bad };
struct HeadParse {
  HeadState state = HeadState::Incomplete;
  RequestHead head;
  std::size_t headBytes = 0;  // up to and including the blank line
};

// The request line and headers among the bytes received so far. Bad when
// they are malformed, past kMaxRequestHead, or declare a body larger than
// kMaxReportBytes or in a form other than Content-Length.
HeadParse ParseRequestHead(std::string_view bytes);

class ReportPage {
 public:
  // Listens on 127.0.0.1 at a port the kernel picks; nothing if it cannot.
  static std::optional<ReportPage> Open(std::string html);
  ReportPage(ReportPage&& other) noexcept;
  ReportPage& operator=(ReportPage&&) = delete;
  ~ReportPage();

  // http://127.0.0.1:<port>/<token>/ ; the page posts to "report" beside it.
  std::string Url() const;

  // Serves until a report arrives (its body), the deadline passes, or
  // stillWaiting answers false (checked a few times a second).
  std::optional<std::string> WaitForReport(std::chrono::steady_clock::time_point deadline,
                                           const std::function<bool()>& stillWaiting);

 private:
  struct Client {
    int fd;
    std::string bytes;
  };
  ReportPage(int listener, int port, std::string token, std::string html);
  // The report's body once a client has sent all of it; closes clients
  // that are answered or misbehave.
  std::optional<std::string> Serve(Client& client, bool* done);

  int listener_ = -1;
  int port_ = 0;
  std::string token_;
  std::string html_;
  std::vector<Client> clients_;
};

}  // namespace install
