// Reading the worker's messages: the three kinds with their fields, and
// every malformed frame turned into a clear complaint (with the session and
// call numbers when they could be read), never an exception or a guess.
#include <gtest/gtest.h>

#include <string>

#include "bridge/Messages.h"

namespace {

using bridge::BadMessage;
using bridge::CallMessage;
using bridge::Json;
using bridge::OpenMessage;
using bridge::ParseMessage;

const BadMessage& Bad(const bridge::Message& message) {
  static const BadMessage kNone{"(not a bad message)", {}, {}};
  const auto* bad = std::get_if<BadMessage>(&message);
  EXPECT_NE(bad, nullptr);
  return bad ? *bad : kNone;
}

TEST(Messages, ReadsOpenCallAndClose) {
  const auto open = ParseMessage(
      R"({"type":"open","session":17,"origin":"https://a.example","top":"https://b.example",)"
      R"("tab":4421,"frame":0,"document":"9B00","incognito":true})");
  ASSERT_TRUE(std::holds_alternative<OpenMessage>(open));
  EXPECT_EQ(std::get<OpenMessage>(open).session, 17);
  EXPECT_EQ(std::get<OpenMessage>(open).origin, "https://a.example");
  EXPECT_EQ(std::get<OpenMessage>(open).top, "https://b.example");
  EXPECT_TRUE(std::get<OpenMessage>(open).incognito);

  const auto call = ParseMessage(
      R"({"type":"call","session":17,"id":5,"method":"SignMsgPKCS7","args":["t\u00e9xt","SM3",true]})");
  ASSERT_TRUE(std::holds_alternative<CallMessage>(call));
  const CallMessage& c = std::get<CallMessage>(call);
  EXPECT_EQ(c.session, 17);
  EXPECT_EQ(c.id, 5);
  EXPECT_EQ(c.method, "SignMsgPKCS7");
  ASSERT_EQ(c.args.size(), 3u);
  EXPECT_EQ(c.args[0].get<std::string>(), "t\xC3\xA9xt");
  EXPECT_TRUE(c.args[2].get<bool>());

  const auto close = ParseMessage(R"({"type":"close","session":17})");
  ASSERT_TRUE(std::holds_alternative<bridge::CloseMessage>(close));
  EXPECT_EQ(std::get<bridge::CloseMessage>(close).session, 17);
}

TEST(Messages, UnreadableFramesAreComplainedAbout) {
  const std::string cases[] = {
      "",
      "{",
      "[]",
      "\"open\"",
      "{}",
      R"({"type":1})",
      R"({"type":"shout","session":1})",
      R"({"type":"open","origin":"https://a.example","top":"https://a.example"})",
      R"({"type":"close"})",
      R"({"type":"close","session":"1"})",
      "{\"type\":\"open\",\"session\":1,\"origin\":\"https://a.\xFF\",\"top\":\"x\"}",  // invalid UTF-8
      "{\"type\":\"open\",\"session\":1,\"origin\":\"\xC0\xAF\",\"top\":\"x\"}",      // overlong
      R"({"type":"call","session":1,"id":2,"method":"GetVersion","args":["\ud800"]})",  // lone high
      R"({"type":"call","session":1,"id":2,"method":"GetVersion","args":["\udc00x"]})",  // lone low
      R"({"type":"close","session":1} trailing)",
      std::string(100, '[') + std::string(100, ']'),
  };
  for (const std::string& frame : cases) {
    SCOPED_TRACE(frame.substr(0, 80));
    const bridge::Message parsed = ParseMessage(frame);
    const BadMessage& bad = Bad(parsed);
    EXPECT_FALSE(bad.message.empty());
    EXPECT_FALSE(bad.id.has_value());
  }
}

TEST(Messages, DeepNestingIsRefusedWithoutRecursion) {
  // A million brackets would take the parser's recursion, or its value's
  // destruction, through the stack.
  const std::string deep = R"({"type":"call","session":1,"id":2,"method":"GetVersion","args":[)" +
                           std::string(1000000, '[') + std::string(1000000, ']') + "]}";
  const bridge::Message parsed = ParseMessage(deep);
  const BadMessage& bad = Bad(parsed);
  EXPECT_FALSE(bad.message.empty());
}

TEST(Messages, MalformedCallsKeepTheirNumbersWhenReadable) {
  struct Case {
    const char* frame;
    bool numbered;
  };
  const Case cases[] = {
      {R"({"type":"call","session":1,"id":2,"args":[]})", true},                       // no method
      {R"({"type":"call","session":1,"id":2,"method":7,"args":[]})", true},            // method type
      {R"({"type":"call","session":1,"id":2,"method":"GetVersion"})", true},           // no args
      {R"({"type":"call","session":1,"id":2,"method":"GetVersion","args":{}})", true},  // args type
      {R"({"type":"call","session":1,"id":2,"method":"GetVersion","args":"x"})", true},
      {R"({"type":"call","session":1,"method":"GetVersion","args":[]})", false},  // no id
      {R"({"type":"call","id":2,"method":"GetVersion","args":[]})", false},       // no session
      {R"({"type":"call","session":1,"id":"2","method":"GetVersion","args":[]})", false},
      {R"({"type":"call","session":1,"id":2.5,"method":"GetVersion","args":[]})", false},
      {R"({"type":"call","session":1,"id":true,"method":"GetVersion","args":[]})", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.frame);
    const bridge::Message parsed = ParseMessage(c.frame);
    const BadMessage& bad = Bad(parsed);
    EXPECT_EQ(bad.id.has_value(), c.numbered);
    if (c.numbered) {
      EXPECT_EQ(*bad.session, 1);
      EXPECT_EQ(*bad.id, 2);
    }
  }
}

TEST(Messages, OnlyNumbersScriptHoldsExactlyAreTaken) {
  const char* const refused[] = {
      "9007199254740992",       // 2^53: a page's number cannot tell it from 2^53+1
      "-9007199254740992",
      "18446744073709551615",   // uint64 max
      "18446744073709551616",   // past uint64
      "1e400",
      "-1e400",
      "1e3",                    // a float in JSON, however whole
      "100000000000000000000000000000000000000000000000000",
  };
  for (const char* number : refused) {
    SCOPED_TRACE(number);
    const std::string frame = std::string(R"({"type":"close","session":)") + number + "}";
    Bad(ParseMessage(frame));
  }
  const auto most = ParseMessage(R"({"type":"close","session":9007199254740991})");
  ASSERT_TRUE(std::holds_alternative<bridge::CloseMessage>(most));
  EXPECT_EQ(std::get<bridge::CloseMessage>(most).session, 9007199254740991);
  const auto negative = ParseMessage(R"({"type":"close","session":-3})");
  ASSERT_TRUE(std::holds_alternative<bridge::CloseMessage>(negative));
}

TEST(Messages, AnswersAreTheProtocolsObjects) {
  const Json hello = Json::parse(bridge::HelloFrame("3.4.0.1"));
  EXPECT_EQ(hello, Json::parse(R"({"type":"hello","protocol":1,"version":"3.4.0.1"})"));

  const Json text = Json::parse(bridge::TextResultFrame(17, 5, "MIIG\"\n"));
  EXPECT_EQ(text, Json::parse(R"({"type":"result","session":17,"id":5,"ok":true,"value":"MIIG\"\n"})"));
  const Json flag = Json::parse(bridge::BooleanResultFrame(17, 6, false));
  EXPECT_EQ(flag["value"], false);

  const Json failed = Json::parse(
      bridge::FailureFrame(17, 5, {"failed", static_cast<HRESULT>(0xA0072001u), "Certificate is not ready."}));
  EXPECT_EQ(failed, Json::parse(R"({"type":"result","session":17,"id":5,"ok":false,"reason":"failed",)"
                                R"("code":2684821505,"hex":"0xa0072001","message":"Certificate is not ready."})"));

  const Json chunk = Json::parse(bridge::ChunkFrame(17, 5, 3, "abc"));
  EXPECT_EQ(chunk, Json::parse(R"({"type":"chunk","session":17,"id":5,"seq":3,"data":"abc"})"));
  const Json chunked = Json::parse(bridge::ChunkedResultFrame(17, 5, 4));
  EXPECT_EQ(chunked, Json::parse(R"({"type":"result","session":17,"id":5,"ok":true,"chunks":4})"));
  EXPECT_FALSE(chunked.contains("value"));

  EXPECT_EQ(bridge::HexCode(static_cast<HRESULT>(0x80070057u)), "0x80070057");
  // Text that is not UTF-8 goes out replaced rather than throwing.
  const std::string replaced = bridge::TextResultFrame(1, 1, "a\xFF" "b");
  EXPECT_FALSE(Json::parse(replaced, nullptr, false).is_discarded());
}

}  // namespace
