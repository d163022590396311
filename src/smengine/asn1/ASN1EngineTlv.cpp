#include "smengine/asn1/ASN1EngineTlv.h"

#include <algorithm>
#include <cstring>

#include "platform/fs/Files.h"
#include "smengine/common/EngineResult.h"

namespace asn1 {

bool Source::Read(std::int64_t nPosition, BYTE* pbyOut, std::size_t nCount) const {
  if (nPosition < 0 || nPosition > m_nSize ||
      nCount > static_cast<std::uint64_t>(m_nSize - nPosition))
    return false;
  if (nCount == 0) return true;
  if (m_pbyData) {
    std::memcpy(pbyOut, m_pbyData + nPosition, nCount);
    return true;
  }
  return ReadFile(nPosition, pbyOut, nCount);
}

bool Source::ReadFile(std::int64_t nPosition, BYTE* pbyOut, std::size_t nCount) const {
  if (!m_fpFile) return false;
  const auto inBlock = [&] {
    return m_nBlockStart >= 0 && nPosition >= m_nBlockStart &&
           static_cast<std::uint64_t>(nPosition - m_nBlockStart) + nCount <= m_block.size();
  };
  if (nCount <= kBlockSize && !inBlock()) {
    const std::size_t nWanted =
        static_cast<std::size_t>(std::min<std::int64_t>(kBlockSize, m_nSize - nPosition));
    m_block.resize(kBlockSize);
    m_nBlockStart = -1;
    if (_fseeki64(m_fpFile, nPosition, SEEK_SET) != 0) return false;
    m_block.resize(std::fread(m_block.data(), 1, nWanted, m_fpFile));
    m_nBlockStart = nPosition;
  }
  if (nCount <= kBlockSize) {
    // A file that shrank since it was measured gives a short block: a
    // failure, never a value padded with whatever the buffer held.
    if (!inBlock()) return false;
    std::memcpy(pbyOut, m_block.data() + (nPosition - m_nBlockStart), nCount);
    return true;
  }
  if (_fseeki64(m_fpFile, nPosition, SEEK_SET) != 0) return false;
  return std::fread(pbyOut, 1, nCount, m_fpFile) == nCount;
}

const char* ReadTlv(const Source& source, std::int64_t nPosition, std::int64_t nLimit,
                    std::int64_t nMaxLength, TlvHeader* pHeader) {
  nLimit = std::min(nLimit, source.Size());
  if (nPosition < 0 || nPosition >= nLimit) return "nPosition >= nLimit";
  if (nLimit - nPosition < 2) return "nPosition + 1 >= nLimit";

  BYTE byHead[2];
  if (!source.Read(nPosition, byHead, sizeof byHead)) return "read of tag and length failed";
  // The identifier octet is taken whole; a high tag number would make us
  // read its continuation octets as the length.
  if ((byHead[0] & 0x1F) == 0x1F) return "(byTag & 0x1F) == 0x1F";

  TlvHeader header;
  header.byTag = byHead[0];
  const BYTE byFirst = byHead[1];
  std::int64_t nValueLength = 0;
  if (byFirst < 0x80) {
    header.nLengthOctetsSize = 1;
    nValueLength = byFirst;
  } else if (byFirst == 0x80) {
    header.nLengthOctetsSize = 1;
    header.bIndefinite = true;
  } else {
    const int nCount = byFirst & 0x7F;
    if (nCount > nLimit - nPosition - 2) return "length octets run past nLimit";
    BYTE byOctets[127];
    if (!source.Read(nPosition + 2, byOctets, static_cast<std::size_t>(nCount)))
      return "read of length octets failed";
    std::uint64_t nValue = 0;
    for (int i = 0; i < nCount; ++i) {
      // Keeping only the low bits would turn a huge length into a small,
      // wrong one; anything that does not fit cannot lie in the source.
      if (nValue > (static_cast<std::uint64_t>(INT64_MAX) >> 8)) return "length does not fit";
      nValue = (nValue << 8) | byOctets[i];
    }
    header.nLengthOctetsSize = 1 + nCount;
    nValueLength = static_cast<std::int64_t>(nValue);
  }
  header.nValueOffset = nPosition + 1 + header.nLengthOctetsSize;

  if (header.bIndefinite) {
    header.nValueLength = -1;
  } else {
    if (nValueLength > nMaxLength) return "nValueLength > maximum length";
    if (nValueLength > nLimit - header.nValueOffset) return "nValueOffset + nValueLength > nLimit";
    header.nValueLength = nValueLength;
  }
  *pHeader = header;
  return nullptr;
}

bool IsEndOfContents(const Source& source, std::int64_t nPosition, std::int64_t nLimit) {
  BYTE byPair[2] = {0xFF, 0xFF};
  return nPosition >= 0 && nLimit - nPosition >= 2 && source.Read(nPosition, byPair, 2) &&
         byPair[0] == 0 && byPair[1] == 0;
}

std::int64_t FindEndOfContents(const Source& source, std::int64_t nFrom, std::int64_t nLimit) {
  nLimit = std::min(nLimit, source.Size());
  // Block reads: on a file this may cover a long value.
  BYTE byBlock[16384];
  bool bPreviousZero = false;
  for (std::int64_t nPosition = nFrom; nPosition < nLimit;) {
    const std::size_t nCount =
        static_cast<std::size_t>(std::min<std::int64_t>(sizeof byBlock, nLimit - nPosition));
    if (!source.Read(nPosition, byBlock, nCount)) return -1;
    for (std::size_t i = 0; i < nCount; ++i) {
      if (byBlock[i] == 0 && bPreviousZero) return nPosition + static_cast<std::int64_t>(i) + 1;
      bPreviousZero = byBlock[i] == 0;
    }
    nPosition += static_cast<std::int64_t>(nCount);
  }
  return -1;
}

namespace {

int WalkPieces(const Source& source, std::int64_t nFrom, std::int64_t nLimit, PiecesEnd end,
               int nDepthLeft, const PieceFn& onPiece, std::int64_t* pnEnd,
               const char** ppszReason) {
  const auto fail = [ppszReason](const char* pszReason) {
    *ppszReason = pszReason;
    return ORLO_FAILED;
  };
  if (nDepthLeft <= 0) return fail("pieces nested deeper than kMaxPieceDepth");
  std::int64_t nPosition = nFrom;
  for (;;) {
    if (end != PiecesEnd::kEndOfContents && nPosition == nLimit) {
      *pnEnd = nPosition;
      return ORLO_OK;
    }
    // No piece has tag 00, so two zero octets where a piece would start can
    // only close the value.
    if (IsEndOfContents(source, nPosition, nLimit)) {
      if (end == PiecesEnd::kExact) return fail("end-of-contents inside a definite length");
      if (end == PiecesEnd::kEither && nPosition + 2 != nLimit)
        return fail("end-of-contents before the end of the value");
      *pnEnd = nPosition + 2;
      return ORLO_OK;
    }
    TlvHeader piece;
    if (const char* pszReason = ReadTlv(source, nPosition, nLimit, INT64_MAX, &piece))
      return fail(pszReason);
    if ((piece.byTag & 0xDF) != 0x04) return fail("piece is no OCTET STRING");
    if (!IsConstructedTag(piece.byTag)) {
      if (piece.bIndefinite) return fail("primitive piece of indefinite length");
      const int nResult = onPiece(piece.nValueOffset, piece.nValueLength);
      if (ORLO_OK != nResult) return nResult;
      nPosition = piece.nValueOffset + piece.nValueLength;
      continue;
    }
    const int nResult =
        piece.bIndefinite
            ? WalkPieces(source, piece.nValueOffset, nLimit, PiecesEnd::kEndOfContents,
                         nDepthLeft - 1, onPiece, &nPosition, ppszReason)
            : WalkPieces(source, piece.nValueOffset, piece.nValueOffset + piece.nValueLength,
                         PiecesEnd::kExact, nDepthLeft - 1, onPiece, &nPosition, ppszReason);
    if (ORLO_OK != nResult) return nResult;
  }
}

}  // namespace

int WalkOctetStringPieces(const Source& source, std::int64_t nFrom, std::int64_t nLimit,
                          PiecesEnd end, const PieceFn& onPiece, std::int64_t* pnEnd,
                          const char** ppszReason) {
  *ppszReason = "";
  nLimit = std::min(nLimit, source.Size());
  if (nFrom < 0 || nFrom > nLimit) {
    *ppszReason = "nFrom outside the source";
    return ORLO_FAILED;
  }
  return WalkPieces(source, nFrom, nLimit, end, kMaxPieceDepth, onPiece, pnEnd, ppszReason);
}

int LengthOctetsCount(std::int64_t nLength) {
  if (nLength < 0) return -1;
  if (nLength < 0x80) return 1;
  int nCount = 1;
  for (std::uint64_t nRest = static_cast<std::uint64_t>(nLength); nRest != 0; nRest >>= 8) ++nCount;
  return nCount;
}

int WriteLengthOctets(std::int64_t nLength, BYTE* pbyOut) {
  const int nCount = LengthOctetsCount(nLength);
  if (nCount < 0) return -1;
  if (nCount == 1) {
    pbyOut[0] = static_cast<BYTE>(nLength);
    return 1;
  }
  pbyOut[0] = static_cast<BYTE>(0x80 | (nCount - 1));
  std::uint64_t nRest = static_cast<std::uint64_t>(nLength);
  for (int i = nCount - 1; i >= 1; --i, nRest >>= 8) pbyOut[i] = static_cast<BYTE>(nRest & 0xFF);
  return nCount;
}

}  // namespace asn1
