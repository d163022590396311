#include "smengine/softcert/SMFileCertOperationsDer.h"

namespace engine::der {

bool Reader::Read(std::uint8_t byTag, std::span<const std::uint8_t>* pContents) {
  if (m_rest.size() < 2 || m_rest[0] != byTag) return false;
  std::size_t nHeader = 2;
  std::size_t nLength = m_rest[1];
  if (nLength & 0x80) {
    // 0x80 alone is the indefinite form, which DER does not have; more than
    // four length bytes cannot describe anything we could hold in an int.
    const std::size_t nLengthBytes = nLength & 0x7F;
    if (nLengthBytes == 0 || nLengthBytes > 4 || m_rest.size() < 2 + nLengthBytes) return false;
    nLength = 0;
    for (std::size_t i = 0; i < nLengthBytes; ++i) nLength = (nLength << 8) | m_rest[2 + i];
    nHeader += nLengthBytes;
  }
  if (nLength > m_rest.size() - nHeader) return false;
  *pContents = m_rest.subspan(nHeader, nLength);
  m_rest = m_rest.subspan(nHeader + nLength);
  return true;
}

bool IsValidOidContents(std::span<const std::uint8_t> contents) {
  if (contents.empty() || (contents.back() & 0x80)) return false;
  bool bStartOfSubidentifier = true;
  for (const std::uint8_t byte : contents) {
    if (bStartOfSubidentifier && byte == 0x80) return false;
    bStartOfSubidentifier = (byte & 0x80) == 0;
  }
  return true;
}

bool ReadWholeOctetString(std::span<const std::uint8_t> value,
                          std::span<const std::uint8_t>* pOctets) {
  Reader reader(value);
  std::span<const std::uint8_t> octets;
  if (!reader.Read(TAG_OCTET_STRING, &octets) || !reader.AtEnd()) return false;
  *pOctets = octets;
  return true;
}

}  // namespace engine::der
