#include "bridge/Messages.h"

#include <cstdio>

namespace bridge {

namespace {

// The messages are flat: an object holding an array of plain values. Deeper
// nesting is refused before the parser builds anything from it.
constexpr int kMaxDepth = 16;
constexpr Number kMaxSafeInteger = (Number{1} << 53) - 1;

bool NestsTooDeep(std::string_view text) {
  int depth = 0;
  bool inString = false;
  bool escaped = false;
  for (const char c : text) {
    if (inString) {
      if (escaped)
        escaped = false;
      else if (c == '\\')
        escaped = true;
      else if (c == '"')
        inString = false;
      continue;
    }
    if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxDepth) return true;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return false;
}

std::optional<Number> ReadNumber(const Json& object, const char* key) {
  const auto it = object.find(key);
  if (it == object.end() || !it->is_number_integer()) return std::nullopt;
  Number value;
  if (it->is_number_unsigned()) {
    const auto u = it->get<std::uint64_t>();
    if (u > static_cast<std::uint64_t>(kMaxSafeInteger)) return std::nullopt;
    value = static_cast<Number>(u);
  } else {
    value = it->get<Number>();
  }
  if (value > kMaxSafeInteger || value < -kMaxSafeInteger) return std::nullopt;
  return value;
}

const std::string* ReadString(const Json& object, const char* key) {
  const auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return nullptr;
  return it->get_ptr<const std::string*>();
}

Message Bad(std::string message, std::optional<Number> session = std::nullopt,
            std::optional<Number> id = std::nullopt) {
  return BadMessage{std::move(message), session, id};
}

Message ParseObject(const Json& json) {
  if (!json.is_object()) return Bad("a message must be a JSON object");
  const std::string* type = ReadString(json, "type");
  if (!type) return Bad("the message has no \"type\" string");
  const std::optional<Number> session = ReadNumber(json, "session");

  if (*type == "open") {
    if (!session) return Bad("\"open\" needs an integer \"session\"");
    const std::string* origin = ReadString(json, "origin");
    const std::string* top = ReadString(json, "top");
    if (!origin || !top) return Bad("\"open\" needs \"origin\" and \"top\" strings", session);
    OpenMessage open{*session, *origin, *top, false};
    if (const auto it = json.find("incognito"); it != json.end() && it->is_boolean())
      open.incognito = it->get<bool>();
    return open;
  }
  if (*type == "call") {
    const std::optional<Number> id = ReadNumber(json, "id");
    if (!session || !id) return Bad("\"call\" needs integer \"session\" and \"id\"", session);
    const std::string* method = ReadString(json, "method");
    if (!method) return Bad("\"call\" needs a \"method\" string", session, id);
    const auto args = json.find("args");
    if (args == json.end() || !args->is_array())
      return Bad("\"call\" needs an \"args\" array", session, id);
    return CallMessage{*session, *id, *method, *args};
  }
  if (*type == "close") {
    if (!session) return Bad("\"close\" needs an integer \"session\"");
    return CloseMessage{*session};
  }
  if (*type == "manage") {
    const std::optional<Number> id = ReadNumber(json, "id");
    const std::string* action = ReadString(json, "action");
    if (!id || !action) return Bad("\"manage\" needs an integer \"id\" and an \"action\"");
    ManageMessage manage{*id, *action, {}, {}};
    if (const std::string* origin = ReadString(json, "origin")) manage.origin = *origin;
    if (const std::string* folder = ReadString(json, "folder")) manage.folder = *folder;
    return manage;
  }
  return Bad("unknown message type", session);
}

}  // namespace

Message ParseMessage(std::string_view frame) {
  if (NestsTooDeep(frame)) return Bad("the message nests too deeply");
  // The parser checks UTF-8 and surrogate escapes itself: either makes the
  // frame unreadable, which is what the browser must be told.
  const Json json = Json::parse(frame, nullptr, false);
  if (json.is_discarded()) return Bad("the frame is not valid JSON in UTF-8");
  return ParseObject(json);
}

std::string Dump(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string HexCode(HRESULT code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(code));
  return text;
}

std::string HelloFrame(std::string_view version) {
  return Dump({{"type", "hello"}, {"protocol", kProtocolVersion}, {"version", version}});
}

std::string TextResultFrame(Number session, Number id, std::string_view value) {
  return Dump(
      {{"type", "result"}, {"session", session}, {"id", id}, {"ok", true}, {"value", value}});
}

std::string BooleanResultFrame(Number session, Number id, bool value) {
  return Dump(
      {{"type", "result"}, {"session", session}, {"id", id}, {"ok", true}, {"value", value}});
}

std::string ChunkFrame(Number session, Number id, std::size_t seq, std::string_view data) {
  return Dump({{"type", "chunk"}, {"session", session}, {"id", id}, {"seq", seq}, {"data", data}});
}

std::string ChunkedResultFrame(Number session, Number id, std::size_t chunks) {
  return Dump(
      {{"type", "result"}, {"session", session}, {"id", id}, {"ok", true}, {"chunks", chunks}});
}

std::string FailureFrame(Number session, Number id, const Failure& failure) {
  return Dump({{"type", "result"},
               {"session", session},
               {"id", id},
               {"ok", false},
               {"reason", failure.reason},
               {"code", static_cast<std::uint32_t>(failure.code)},
               {"hex", HexCode(failure.code)},
               {"message", failure.message}});
}

std::string ErrorFrame(std::string_view reason, HRESULT code, std::string_view message,
                       std::optional<Number> session) {
  Json json = {{"type", "error"},
               {"reason", reason},
               {"code", static_cast<std::uint32_t>(code)},
               {"hex", HexCode(code)},
               {"message", message}};
  if (session) json["session"] = *session;
  return Dump(json);
}

}  // namespace bridge
