#include "platform/base/BerReader.h"

#include "der/OctetString.h"
#include "der/Oid.h"
#include "der/Reader.h"
#include "platform/base/CryptErrors.h"
#include "platform/base/DerResult.h"

namespace platform::ber {
namespace {

// Envelope files and the messages peers send us may carry indefinite
// lengths, constructed strings and longer length forms than needed, so this
// reading stays BER. None of them uses high tag numbers.
der::Options BerOptions() {
  der::Options options;
  options.mode = der::Mode::kBer;
  options.highTagNumbers = false;
  return options;
}

void CopyOut(const der::Element& from, BerElement* to) {
  to->tag = from.tag.Octet();
  to->contents = from.contents;
  to->whole = from.whole;
}

}  // namespace

HRESULT BerReader::Read(BerElement* element) {
  der::Reader reader(rest_, BerOptions());
  der::Element read;
  const HRESULT hr = DerResult(reader.Read(&read));
  if (FAILED(hr)) return hr;
  CopyOut(read, element);
  rest_ = reader.Rest();
  return S_OK;
}

HRESULT BerReader::Expect(BYTE tag, BerElement* element) {
  if (rest_.empty()) return CRYPT_E_ASN1_EOD;
  if (rest_[0] != tag) return CRYPT_E_ASN1_BADTAG;
  return Read(element);
}

bool BerReader::Optional(BYTE tag, BerElement* element) {
  if (rest_.empty() || rest_[0] != tag) return false;
  return SUCCEEDED(Read(element));
}

HRESULT OctetStringValue(const BerElement& element, std::vector<BYTE>* out) {
  der::Element string;
  string.tag = der::Tag(element.tag);
  string.contents = element.contents;
  string.whole = element.whole;
  return DerResult(der::OctetStringValue(string, BerOptions(), out));
}

HRESULT DecodeOid(std::span<const BYTE> contents, std::string* dotted) {
  return DerResult(der::OidToText(contents, dotted));
}

}  // namespace platform::ber
