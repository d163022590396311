// Asking the user whether a web page may use their keys or files. The
// prompt runs in our helper program (the same one as the selection dialog)
// and only these texts cross, over its stdin and stdout.
//
// Request (UTF-8 lines, each "key SP value"; backslash, newline, carriage
// return and tab inside a value are written \\ \n \r \t):
//   npsigil-consent 1
//   language <LANGID in decimal>
//   origin <origin as the page has it, printable ASCII>
//   within <the top page's origin, likewise> (only when a frame of another
//          origin asks: the user judges the frame by the page it sits in)
//   secure <0|1>
//   asks <keys|files|keys files>
//   method <script method name>
//   end
// Answer (one line): "allow-once", "allow-always", "deny" or
// "failed <result code, 8 hex digits> <text>". An allow may be followed by
// a second line "folder <absolute path, escaped as the request's values>":
// a folder the user granted the page from the prompt (offered when the
// request asks for files from a secure page). A helper of an earlier
// version simply never sends it.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

#include "platform/base/WinTypes.h"

namespace ui {

struct ConsentRequest {
  LANGID language = 0;
  std::string origin;
  std::string within;  // the top page's origin when it is not `origin`; else empty
  bool secure = false;
  bool asksKeys = false;
  bool asksFiles = false;
  std::string method;
};

enum class ConsentAnswer { kAllowOnce, kAllowAlways, kDeny, kFailed };

struct ConsentResponse {
  ConsentAnswer answer = ConsentAnswer::kDeny;
  HRESULT failure = S_OK;  // kFailed: the helper's code; kDeny: why no answer came, if so
  std::string message;
  std::string folder;  // an allow's granted folder (absolute, as the user chose it); else empty
};

inline constexpr std::string_view kConsentMagic = "npsigil-consent 1";
// Bounds of a well-formed request: the whole text, the origin, the method.
inline constexpr std::size_t kMaxConsentRequestBytes = 8192;  // two escaped origins and the rest
inline constexpr std::size_t kMaxConsentOriginBytes = 1024;
inline constexpr std::size_t kMaxConsentMethodBytes = 128;
inline constexpr std::size_t kMaxConsentFolderBytes = 4096;  // PATH_MAX
// Room for the folder line with every byte of the path escaped.
inline constexpr std::size_t kMaxConsentAnswerBytes = 2 * kMaxConsentFolderBytes + 1024;

std::string EncodeConsentRequest(const ConsentRequest& request);
// False for anything but one complete request of this version: each key
// once, nothing after "end", the origin printable ASCII (an IDN in its
// "xn--" form; the Unicode form is ours to make), the method a name of
// letters, digits and '_', something asked for.
bool DecodeConsentRequest(std::string_view text, ConsentRequest* request);

std::string EncodeConsentResponse(const ConsentResponse& response);
// False for anything but one answer line, or an allow line and its folder
// line (absolute, without NUL, empty, "." or ".." components, at most
// kMaxConsentFolderBytes). A space or a tab separates the fields of
// "failed", and a carriage return before each newline is allowed.
bool DecodeConsentResponse(std::string_view text, ConsentResponse* response);

// Shows the prompt and waits for the user. NPSIGIL_CONSENT_DIALOG names a program that
// reads the request on stdin and answers one line (tests, demos); otherwise the helper
// program beside our module. No display, no program, a crash, a malformed or missing
// answer: kDeny with the failure traced (never an allow). "allow-always" for a request
// with secure 0 is read as kAllowOnce (the offer is not made for non-secure origins).
// A helper's own "failed" answer is kFailed with its code. An allow counts only from a
// helper that then exits cleanly; one left unanswered for kConsentDeadline is closed
// and read as kDeny. A folder comes back only with an allow of a request that asked
// for files from a secure page.
ConsentResponse RunConsentPrompt(const ConsentRequest& request);

inline constexpr char kConsentDialogPathVariable[] = "NPSIGIL_CONSENT_DIALOG";
// Long enough to read and decide; a prompt left standing past it is a deny
// (the page may ask again) rather than a browser held forever.
inline constexpr std::chrono::minutes kConsentDeadline{5};

}  // namespace ui
