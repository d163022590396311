// Base64 for the SM2 message engine: padded, one line, engine results
// (ORLO_OK or a failure code as int).
#pragma once

namespace engine {

// New zero-terminated text; pnLen (may be null) receives its length.
// 87 for a null output, 0xA0071004 for an empty source or a failed encoding,
// -1 when memory runs out.
int Base64EncodeEx(int* pnLen, const unsigned char* pSrc, int nSrcLen, char** ppBase64EncodedStr);

// New byte buffer and its count. 0xA0071005 for nSrcLen <= 0 or a failed
// decoding, 87 for a null output, -1 when memory runs out.
int Base64DecodeEx(unsigned char** ppDecodedData, unsigned int* pnDecodedSize, const char* pSrc,
                   int nSrcLen);

}  // namespace engine
