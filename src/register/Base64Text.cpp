#include <memory>

#include "register/ChainOperateInternal.h"
#include "smengine/common/Base64.h"
#include "smengine/common/TextUtility.h"
#include "trace/Trace.h"

namespace chainoperate {

HRESULT DecodeBase64Text(StepTrace& trace, LPCWSTR lpwText, std::unique_ptr<BYTE[]>& bytes,
                         int& nLength) {
  trace.Step(u"UTF16ToUTF8");
  LPSTR pszText = nullptr;
  int nTextLength = 0;
  HRESULT hResult = UTF16ToUTF8(lpwText, &pszText, &nTextLength);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(UTF16ToUTF8)");
  std::unique_ptr<char[]> text(pszText);

  trace.Step(u"Base64DecodeEx");
  BYTE* pbyData = nullptr;
  int nDataLength = 0;
  hResult = Base64DecodeEx(nTextLength, text.get(), &pbyData, &nDataLength);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(Base64DecodeEx)");
  bytes.reset(pbyData);
  nLength = nDataLength;
  return S_OK;
}

}  // namespace chainoperate
