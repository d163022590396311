// The consent request and answer lines: what round-trips, and the table of
// texts that must not read as a request or an answer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ui/ConsentProtocol.h"
#include "ui/DialogProtocol.h"

namespace ui {
namespace {

constexpr char kGoodRequest[] =
    "npsigil-consent 1\n"
    "language 2052\n"
    "origin https://xn--bcher-kva.example\n"
    "secure 1\n"
    "asks keys files\n"
    "method SignMsgPKCS7\n"
    "end\n";

TEST(ConsentRequest, EncodesAsDocumentedAndRoundTrips) {
  ConsentRequest request;
  request.language = 0x0804;
  request.origin = "https://xn--bcher-kva.example";
  request.secure = true;
  request.asksKeys = true;
  request.asksFiles = true;
  request.method = "SignMsgPKCS7";
  EXPECT_EQ(EncodeConsentRequest(request), kGoodRequest);

  const struct {
    bool keys, files;
    const char* line;
  } asks[] = {{true, false, "asks keys\n"}, {false, true, "asks files\n"}};
  for (const auto& a : asks) {
    request.asksKeys = a.keys;
    request.asksFiles = a.files;
    request.secure = false;
    request.language = 0;
    request.origin = "file://";
    const std::string text = EncodeConsentRequest(request);
    EXPECT_NE(text.find(a.line), std::string::npos) << text;
    ConsentRequest back;
    ASSERT_TRUE(DecodeConsentRequest(text, &back)) << text;
    EXPECT_EQ(back.language, 0);
    EXPECT_EQ(back.origin, "file://");
    EXPECT_FALSE(back.secure);
    EXPECT_EQ(back.asksKeys, a.keys);
    EXPECT_EQ(back.asksFiles, a.files);
    EXPECT_EQ(back.method, "SignMsgPKCS7");
  }
}

// A frame of another origin is shown with the page around it; the line is
// there only then, and read under the origin's own rules.
TEST(ConsentRequest, TheTopPageOfAFrameRoundTripsOnlyWhenGiven) {
  ConsentRequest request;
  ASSERT_TRUE(DecodeConsentRequest(kGoodRequest, &request));
  EXPECT_TRUE(request.within.empty());
  request.within = "https://bank.example";
  const std::string text = EncodeConsentRequest(request);
  EXPECT_NE(text.find("\nwithin https://bank.example\n"), std::string::npos) << text;
  ConsentRequest back;
  ASSERT_TRUE(DecodeConsentRequest(text, &back)) << text;
  EXPECT_EQ(back.within, "https://bank.example");
  EXPECT_EQ(back.origin, request.origin);

  std::string doubled = text;
  doubled.insert(doubled.find("end\n"), "within https://other.example\n");
  EXPECT_FALSE(DecodeConsentRequest(doubled, &back));
  std::string empty = text;
  empty.replace(empty.find("within https://bank.example"), 27, "within ");
  EXPECT_FALSE(DecodeConsentRequest(empty, &back));
  std::string control = text;
  control.replace(control.find("bank.example"), 12, "ba\x01nk");
  EXPECT_FALSE(DecodeConsentRequest(control, &back));
}

TEST(ConsentRequest, KeysInAnyOrderAreRead) {
  ConsentRequest request;
  ASSERT_TRUE(
      DecodeConsentRequest("npsigil-consent 1\nmethod M_1\nasks files\nsecure 0\n"
                           "origin http://a.example:8080\nlanguage 65535\nend\n",
                           &request));
  EXPECT_EQ(request.language, 0xFFFF);
  EXPECT_EQ(request.origin, "http://a.example:8080");
  EXPECT_FALSE(request.asksKeys);
  EXPECT_TRUE(request.asksFiles);
  EXPECT_EQ(request.method, "M_1");
}

// A request the helper cannot fully trust is no request: it is answered
// with a failure, never shown half-read.
TEST(ConsentRequest, MalformedRequestsAreRefusedAndLeaveNothing) {
  const std::string good = kGoodRequest;
  auto replaced = [&](const std::string& from, const std::string& to) {
    std::string text = good;
    text.replace(text.find(from), from.size(), to);
    return text;
  };
  const struct {
    const char* what;
    std::string text;
  } cases[] = {
      {"empty", ""},
      {"other magic", replaced("npsigil-consent 1", "npsigil-consent 2")},
      {"selection magic", replaced("npsigil-consent 1", "npsigil-select-dialog 1")},
      {"no end", replaced("end\n", "")},
      {"no newline after end", replaced("end\n", "end")},
      {"line after end", good + "origin https://b.example\n"},
      {"second request after end", good + good},
      {"carriage returns", replaced("secure 1\n", "secure 1\r\n")},
      {"missing origin", replaced("origin https://xn--bcher-kva.example\n", "")},
      {"missing language", replaced("language 2052\n", "")},
      {"missing secure", replaced("secure 1\n", "")},
      {"missing asks", replaced("asks keys files\n", "")},
      {"missing method", replaced("method SignMsgPKCS7\n", "")},
      {"origin twice", replaced("secure 1\n", "secure 1\norigin https://evil.example\n")},
      {"unknown key", replaced("secure 1\n", "secure 1\ncolour blue\n")},
      {"tab for the space", replaced("secure 1", "secure\t1")},
      {"two spaces", replaced("secure 1", "secure  1")},
      {"no value", replaced("secure 1", "secure")},
      {"secure 2", replaced("secure 1", "secure 2")},
      {"secure yes", replaced("secure 1", "secure yes")},
      {"language in hex", replaced("language 2052", "language 0x804")},
      {"language too big", replaced("language 2052", "language 65536")},
      {"language negative", replaced("language 2052", "language -1")},
      {"language empty", replaced("language 2052", "language ")},
      {"asks nothing", replaced("asks keys files", "asks ")},
      {"asks other", replaced("asks keys files", "asks camera")},
      {"asks reversed", replaced("asks keys files", "asks files keys")},
      {"asks twice", replaced("asks keys files", "asks keys keys")},
      {"empty origin", replaced("origin https://xn--bcher-kva.example", "origin ")},
      {"origin with a blank", replaced("xn--bcher-kva.example", "a.example b.example")},
      {"origin not ASCII", replaced("xn--bcher-kva.example",
                                    "b\xC3\xBC"
                                    "cher.example")},
      {"origin with an escaped newline", replaced("kva.example", "kva.example\\nsecure 1")},
      {"origin with a control", replaced("kva.example", "kva.exa\x01mple")},
      {"origin too long",
       replaced("xn--bcher-kva.example", std::string(kMaxConsentOriginBytes, 'a'))},
      {"bad escape", replaced("kva.example", "kva.example\\x")},
      {"lone backslash", replaced("kva.example", "kva.example\\")},
      {"method with a blank", replaced("SignMsgPKCS7", "Sign Msg")},
      {"method with a dot", replaced("SignMsgPKCS7", "a.b")},
      {"method empty", replaced("method SignMsgPKCS7", "method ")},
      {"method too long", replaced("SignMsgPKCS7", std::string(kMaxConsentMethodBytes + 1, 'M'))},
      {"too long altogether", replaced("end\n", std::string(kMaxConsentRequestBytes, '\n'))},
  };
  for (const auto& c : cases) {
    ConsentRequest request;
    request.origin = "left over";
    EXPECT_FALSE(DecodeConsentRequest(c.text, &request)) << c.what;
    EXPECT_TRUE(request.origin.empty()) << c.what;
    EXPECT_FALSE(request.asksKeys || request.asksFiles || request.secure) << c.what;
  }
}

TEST(ConsentAnswerLine, EncodesAndRoundTrips) {
  ConsentResponse response;
  response.answer = ConsentAnswer::kAllowOnce;
  EXPECT_EQ(EncodeConsentResponse(response), "allow-once\n");
  response.answer = ConsentAnswer::kAllowAlways;
  EXPECT_EQ(EncodeConsentResponse(response), "allow-always\n");
  response.answer = ConsentAnswer::kDeny;
  EXPECT_EQ(EncodeConsentResponse(response), "deny\n");
  response.answer = ConsentAnswer::kFailed;
  response.failure = E_INVALIDARG;
  response.message = "bad\trequest\n\\";
  const std::string line = EncodeConsentResponse(response);
  EXPECT_EQ(line, "failed 80070057 bad\\trequest\\n\\\\\n");

  ConsentResponse back;
  ASSERT_TRUE(DecodeConsentResponse(line, &back));
  EXPECT_EQ(back.answer, ConsentAnswer::kFailed);
  EXPECT_EQ(back.failure, E_INVALIDARG);
  EXPECT_EQ(back.message, "bad\trequest\n\\");
  for (ConsentAnswer answer :
       {ConsentAnswer::kAllowOnce, ConsentAnswer::kAllowAlways, ConsentAnswer::kDeny}) {
    response.answer = answer;
    ASSERT_TRUE(DecodeConsentResponse(EncodeConsentResponse(response), &back));
    EXPECT_EQ(back.answer, answer);
    EXPECT_EQ(back.failure, S_OK);
  }
}

TEST(ConsentAnswerLine, TabsAndATrailingCarriageReturnAreAccepted) {
  ConsentResponse response;
  ASSERT_TRUE(DecodeConsentResponse("allow-once\r\n", &response));
  EXPECT_EQ(response.answer, ConsentAnswer::kAllowOnce);
  ASSERT_TRUE(DecodeConsentResponse("failed\t80004005\tno display\r\n", &response));
  EXPECT_EQ(response.answer, ConsentAnswer::kFailed);
  EXPECT_EQ(response.failure, E_FAIL);
  EXPECT_EQ(response.message, "no display");
  ASSERT_TRUE(DecodeConsentResponse("failed a0071002 two words here\n", &response));
  EXPECT_EQ(response.failure, static_cast<HRESULT>(0xA0071002u));
  EXPECT_EQ(response.message, "two words here");
  ASSERT_TRUE(DecodeConsentResponse("failed 80004005\n", &response));
  EXPECT_TRUE(response.message.empty());
}

// Nothing but the exact words allows: every near miss is refused, so the
// caller reads it as a deny.
TEST(ConsentAnswerLine, NearMissesAreRefused) {
  const struct {
    const char* what;
    std::string text;
  } cases[] = {
      {"empty", ""},
      {"no newline", "allow-once"},
      {"two answers", "deny\nallow-once\n"},
      {"allow twice", "allow-once\nallow-once\n"},
      {"upper case", "ALLOW-ONCE\n"},
      {"leading blank", " allow-once\n"},
      {"trailing blank", "allow-once \n"},
      {"trailing tab", "allow-always\t\n"},
      {"two carriage returns", "allow-once\r\r\n"},
      {"carriage return only", "allow-once\r"},
      {"carriage return inside", "allow\r-once\n"},
      {"prefix only", "allow\n"},
      {"allow-once with a reason", "allow-once yes\n"},
      {"nul inside", std::string("allow-once\0\n", 12)},
      {"short code", "failed 8007005 text\n"},
      {"long code", "failed 800700570 text\n"},
      {"code not hex", "failed 8007005G text\n"},
      {"no separator before the code", "failed80070057 text\n"},
      {"no separator after the code", "failed 80070057text\n"},
      {"comma separator", "failed,80070057,text\n"},
      {"bad escape in the text", "failed 80070057 a\\qb\n"},
      {"failed without a code", "failed\n"},
      {"selection answer", "selected\t0\n"},
      {"too long", std::string(kMaxConsentAnswerBytes, 'x') + "\n"},
  };
  for (const auto& c : cases) {
    ConsentResponse response;
    EXPECT_FALSE(DecodeConsentResponse(c.text, &response)) << c.what;
    EXPECT_EQ(response.answer, ConsentAnswer::kDeny) << c.what;
  }
}

TEST(SelectionRequest, OriginLineIsOptionalAndRoundTrips) {
  DialogRequest request;
  request.language = 0x0409;
  request.header = u"Select a Certificate";
  EXPECT_EQ(EncodeRequest(request).find("origin"), std::string::npos);
  DialogRequest back;
  ASSERT_TRUE(DecodeRequest(EncodeRequest(request), &back));
  EXPECT_FALSE(back.origin.has_value());

  request.origin = u"https://xn--bcher-kva.example\tx";
  const std::string text = EncodeRequest(request);
  EXPECT_NE(text.find("\norigin\thttps://xn--bcher-kva.example\\tx\n"), std::string::npos);
  ASSERT_TRUE(DecodeRequest(text, &back));
  EXPECT_EQ(back.origin, request.origin);

  // One origin only.
  std::string twice = text;
  twice.insert(twice.find("\nend"), "\norigin\thttps://evil.example");
  EXPECT_FALSE(DecodeRequest(twice, &back));
}

}  // namespace
}  // namespace ui

namespace ui {
namespace {

TEST(ConsentAnswerFolder, AnAllowCarriesTheGrantedFolder) {
  ConsentResponse response;
  response.answer = ConsentAnswer::kAllowAlways;
  response.folder = "/home/me/con\ntracts\\2026";
  const std::string text = EncodeConsentResponse(response);
  EXPECT_EQ(text, "allow-always\nfolder /home/me/con\\ntracts\\\\2026\n");
  ConsentResponse back;
  ASSERT_TRUE(DecodeConsentResponse(text, &back));
  EXPECT_EQ(back.answer, ConsentAnswer::kAllowAlways);
  EXPECT_EQ(back.folder, response.folder);
  ASSERT_TRUE(DecodeConsentResponse("allow-once\r\nfolder /srv/x\r\n", &back));
  EXPECT_EQ(back.answer, ConsentAnswer::kAllowOnce);
  EXPECT_EQ(back.folder, "/srv/x");
  // Without a folder the answer reads as before.
  ASSERT_TRUE(DecodeConsentResponse("allow-once\n", &back));
  EXPECT_TRUE(back.folder.empty());
  const std::string longest = "/" + std::string(kMaxConsentFolderBytes - 1, 'a');
  EXPECT_TRUE(DecodeConsentResponse("allow-once\nfolder " + longest + "\n", &back));

  for (const std::string& bad : std::vector<std::string>{
           "deny\nfolder /srv/x\n",
           "failed 80004005 x\nfolder /srv/x\n",
           "allow-once\nfolder srv/x\n",
           "allow-once\nfolder /srv/../etc\n",
           "allow-once\nfolder /srv//x\n",
           "allow-once\nfolder \n",
           "allow-once\nfolder /srv/x",
           "allow-once\nfolder /srv/x\nfolder /srv/y\n",
           "allow-once\nfolder /srv/x\\q\n",
           "allow-once\nfolder\t/srv/x\n",
           "allow-once\nfolders /srv/x\n",
           "allow-once\nfolder " + longest + "a\n",
           "allow-once\nfolder /" + std::string(kMaxConsentAnswerBytes, 'a') + "\n",
       }) {
    EXPECT_FALSE(DecodeConsentResponse(bad, &back)) << bad.substr(0, 50);
    EXPECT_EQ(back.answer, ConsentAnswer::kDeny);
    EXPECT_TRUE(back.folder.empty());
  }
}

}  // namespace
}  // namespace ui
