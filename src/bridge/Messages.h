// The messages of protocol 1: what the extension's worker sends (open, call,
// close) read from one frame's JSON, and what the host answers (hello,
// result, chunk, error) written as JSON text. Nothing here throws.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include <nlohmann/json.hpp>

#include "platform/base/WinTypes.h"

namespace bridge {

using Json = nlohmann::json;

inline constexpr int kProtocolVersion = 1;

// Session and call numbers are the worker's own; only integers a page's
// script holds exactly are taken.
using Number = std::int64_t;

struct OpenMessage {
  Number session = 0;
  std::string origin;  // the frame's origin as the browser gave it
  std::string top;     // the top page's origin
  bool incognito = false;
};

struct CallMessage {
  Number session = 0;
  Number id = 0;
  std::string method;
  Json args;  // an array
};

struct CloseMessage {
  Number session = 0;
};

// The extension's own options page managing what the user allowed: list
// the sites and folders, revoke a site, take a folder back. The worker only
// ever sends these for its own page, never for a web page's session.
struct ManageMessage {
  Number id = 0;
  std::string action;  // "list", "revoke", "ungrant"
  std::string origin;  // revoke, ungrant
  std::string folder;  // ungrant
};

// A frame that is not one of the above. When its session and call number
// could be read, the answer is a failed result for that call.
struct BadMessage {
  std::string message;
  std::optional<Number> session;
  std::optional<Number> id;
};

using Message =
    std::variant<OpenMessage, CallMessage, CloseMessage, ManageMessage, BadMessage>;

Message ParseMessage(std::string_view frame);

// A failed call as the worker sees it.
struct Failure {
  std::string reason;  // "failed", "consent-denied", "arguments", ...
  HRESULT code = S_OK;
  std::string message;
};

// JSON text of a value, invalid UTF-8 replaced rather than thrown about.
std::string Dump(const Json& value);

std::string HelloFrame(std::string_view version);
std::string TextResultFrame(Number session, Number id, std::string_view value);
std::string BooleanResultFrame(Number session, Number id, bool value);
std::string ChunkFrame(Number session, Number id, std::size_t seq, std::string_view data);
std::string ChunkedResultFrame(Number session, Number id, std::size_t chunks);
std::string FailureFrame(Number session, Number id, const Failure& failure);
// Not tied to one call: a frame that could not be read, or a session that
// could not be opened.
std::string ErrorFrame(std::string_view reason, HRESULT code, std::string_view message,
                       std::optional<Number> session = std::nullopt);

// "0x%08x" of the unsigned code.
std::string HexCode(HRESULT code);

}  // namespace bridge
