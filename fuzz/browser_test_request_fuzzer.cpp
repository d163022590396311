// Arbitrary bytes as what a local process sends the test page's server,
// and as the report it posts. The head parser keeps to its bounds and to
// what it promises of a complete head; a report is a line, never a crash.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "install/ReportPage.h"
#include "install/RoundTrip.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const install::HeadParse parse = install::ParseRequestHead(bytes);
  if (parse.state == install::HeadState::Complete) {
    Check(parse.headBytes <= bytes.size() && parse.headBytes <= install::kMaxRequestHead);
    Check(bytes.substr(parse.headBytes - 4, 4) == "\r\n\r\n");
    Check(parse.head.contentLength <= install::kMaxReportBytes);
    Check(!parse.head.method.empty() && parse.head.path.starts_with('/'));
    Check(parse.head.path.find('?') == std::string::npos);
    // More bytes after a complete head do not change what it says.
    std::string longer(bytes);
    longer += "GET / HTTP/1.1\r\n\r\n";
    const install::HeadParse again = install::ParseRequestHead(longer);
    Check(again.state == install::HeadState::Complete && again.headBytes == parse.headBytes &&
          again.head.path == parse.head.path);
  } else if (parse.state == install::HeadState::Incomplete) {
    Check(bytes.size() < install::kMaxRequestHead);
  }
  const install::RoundTripResult report = install::ReadReport(bytes);
  Check(!report.text.empty());
  return 0;
}
