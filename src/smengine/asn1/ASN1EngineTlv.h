// Shared by both ASN.1 engines: a bounded view of the bytes being decoded
// (a memory buffer or an open file), reading one TLV header inside a limit,
// and the DER length octets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <vector>

#include "platform/base/WinTypes.h"

namespace asn1 {

// A long-form length never needs more than 8 significant octets here.
inline constexpr int kMaxLengthOctets = 9;

// Every read is checked against the source's size before it happens, so a
// truncated source fails instead of being read past its end. A file is read
// through a block of its own: the headers of a value in millions of pieces
// cost a seek a block, not a seek a header. The block is a snapshot; a
// file that changes while it is decoded gives no better than it deserves.
class Source {
 public:
  static constexpr std::size_t kBlockSize = 16384;

  static Source Memory(const BYTE* pbyData, std::int64_t nSize) {
    return {pbyData, nullptr, nSize};
  }
  static Source File(FILE* fpFile, std::int64_t nSize) { return {nullptr, fpFile, nSize}; }

  std::int64_t Size() const { return m_nSize; }
  // All of [nPosition, nPosition + nCount) must lie inside the source.
  bool Read(std::int64_t nPosition, BYTE* pbyOut, std::size_t nCount) const;

 private:
  Source(const BYTE* pbyData, FILE* fpFile, std::int64_t nSize)
      : m_pbyData(pbyData), m_fpFile(fpFile), m_nSize(nSize) {}
  bool ReadFile(std::int64_t nPosition, BYTE* pbyOut, std::size_t nCount) const;

  const BYTE* m_pbyData;
  FILE* m_fpFile;
  std::int64_t m_nSize;
  mutable std::vector<BYTE> m_block;  // file bytes from m_nBlockStart
  mutable std::int64_t m_nBlockStart = -1;
};

struct TlvHeader {
  BYTE byTag = 0;
  int nLengthOctetsSize = 0;
  std::int64_t nValueOffset = 0;
  std::int64_t nValueLength = 0;  // -1 while indefinite
  bool bIndefinite = false;

  std::int64_t NodeLength() const {
    return bIndefinite ? -1 : 1 + nLengthOctetsSize + nValueLength;
  }
};

// The identifier octet's constructed bit decides; the tag number does not.
inline bool IsConstructedTag(BYTE byTag) { return (byTag & 0x20) != 0; }

// Reads the TLV at nPosition; the header and a definite value must end at or
// before nLimit (itself within the source). nMaxLength caps the value length
// for records that keep it in fewer bits. Null on success, else the failing
// condition as text.
const char* ReadTlv(const Source& source, std::int64_t nPosition, std::int64_t nLimit,
                    std::int64_t nMaxLength, TlvHeader* pHeader);

// True when the two bytes at nPosition exist below nLimit and are 00 00.
bool IsEndOfContents(const Source& source, std::int64_t nPosition, std::int64_t nLimit);

// End of a primitive value in indefinite form: the position just after the
// first 00 00 at or after nFrom, or -1 when none lies below nLimit.
std::int64_t FindEndOfContents(const Source& source, std::int64_t nFrom, std::int64_t nLimit);

// The pieces of an OCTET STRING in constructed (BER) form, walked where they
// lie in the source without building anything: each primitive piece's value
// goes to onPiece as (offset, length), in order, through nested pieces and
// indefinite lengths. Pieces are OCTET STRINGs (04, or 24 with pieces of
// their own) nested at most kMaxPieceDepth levels.
inline constexpr int kMaxPieceDepth = 64;
using PieceFn = std::function<int(std::int64_t nValueOffset, std::int64_t nValueLength)>;
enum class PiecesEnd {
  kExact,          // the pieces fill [nFrom, nLimit) exactly
  kEndOfContents,  // the pieces run up to an end-of-contents below nLimit
  kEither,         // the pieces fill [nFrom, nLimit), which may end with 00 00
};
// ORLO_OK with *pnEnd just past the last piece (or past the end-of-contents);
// ORLO_FAILED with the failing condition in *ppszReason when the pieces do not
// walk; or the first result of onPiece that is not ORLO_OK, as it is.
int WalkOctetStringPieces(const Source& source, std::int64_t nFrom, std::int64_t nLimit,
                          PiecesEnd end, const PieceFn& onPiece, std::int64_t* pnEnd,
                          const char** ppszReason);

// DER definite length octets (minimal long form); -1 for a negative length.
int LengthOctetsCount(std::int64_t nLength);
// Writes them into pbyOut (room for kMaxLengthOctets) and returns the count.
int WriteLengthOctets(std::int64_t nLength, BYTE* pbyOut);

}  // namespace asn1
