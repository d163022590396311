#include "platform/msg/CryptMsg.h"

#include <cstring>
#include <mutex>
#include <unordered_map>

#include "platform/msg/CryptMsgInternal.h"
#include "platform/base/LastError.h"
#include "platform/store/MessageCertificates.h"

namespace platform::msg::detail {
namespace {

class MessageTable {
 public:
  HCRYPTMSG Add(std::unique_ptr<Message> message) {
    std::lock_guard lock(mutex_);
    HCRYPTMSG handle = message.get();
    messages_.emplace(handle, std::move(message));
    return handle;
  }
  Message* Find(HCRYPTMSG handle) {
    std::lock_guard lock(mutex_);
    auto it = messages_.find(handle);
    return it == messages_.end() ? nullptr : it->second.get();
  }
  std::unique_ptr<Message> Take(HCRYPTMSG handle) {
    std::lock_guard lock(mutex_);
    auto it = messages_.find(handle);
    if (it == messages_.end()) return nullptr;
    auto message = std::move(it->second);
    messages_.erase(it);
    return message;
  }

 private:
  std::mutex mutex_;
  std::unordered_map<HCRYPTMSG, std::unique_ptr<Message>> messages_;
};

MessageTable& Messages() {
  static auto* table = new MessageTable;  // messages may be closed during teardown
  return *table;
}

bool EncodingAccepted(DWORD encoding) { return (encoding & PKCS_7_ASN_ENCODING) != 0; }

bool ReadCertificates(const void* handle, std::vector<std::vector<BYTE>>* certificates,
                      HRESULT* result) {
  Message* message = Messages().Find(const_cast<void*>(handle));
  if (message == nullptr) return false;
  *result = message->Certificates(certificates);
  return true;
}

HCRYPTMSG Register(std::unique_ptr<Message> message) {
  if (!message) return nullptr;
  platform::store::SetMessageCertificatesReader(&ReadCertificates);
  return Messages().Add(std::move(message));
}

}  // namespace

BOOL Message::Control(DWORD, DWORD, const void*) {
  SetLastError(static_cast<DWORD>(CRYPT_E_CONTROL_TYPE));
  return FALSE;
}

HRESULT Message::Certificates(std::vector<std::vector<BYTE>>* out) const {
  out->clear();
  return S_OK;
}

Message* LookupMessage(HCRYPTMSG handle) { return Messages().Find(handle); }

BOOL CopyOut(std::span<const BYTE> bytes, void* data, DWORD* size) {
  if (size == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const DWORD available = *size;
  *size = static_cast<DWORD>(bytes.size());
  if (data == nullptr) return TRUE;
  if (available < bytes.size()) {
    SetLastError(ERROR_MORE_DATA);
    return FALSE;
  }
  if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
  return TRUE;
}

}  // namespace platform::msg::detail

using namespace platform::msg::detail;

HCRYPTMSG CryptMsgOpenToEncode(DWORD dwMsgEncodingType, DWORD dwFlags, DWORD dwMsgType,
                               const void* pvMsgEncodeInfo, LPSTR pszInnerContentObjID,
                               PCMSG_STREAM_INFO pStreamInfo) {
  if (!EncodingAccepted(dwMsgEncodingType) || pvMsgEncodeInfo == nullptr) {
    SetLastError(E_INVALIDARG);
    return nullptr;
  }
  if (dwMsgType != CMSG_ENVELOPED) {
    SetLastError(static_cast<DWORD>(CRYPT_E_INVALID_MSG_TYPE));
    return nullptr;
  }
  // Inner content other than data is not offered.
  if (dwFlags != 0 || (pszInnerContentObjID != nullptr &&
                       std::strcmp(pszInnerContentObjID, szOID_RSA_data) != 0)) {
    SetLastError(E_INVALIDARG);
    return nullptr;
  }
  return Register(OpenEnvelopeEncoder(
      *static_cast<const CMSG_ENVELOPED_ENCODE_INFO*>(pvMsgEncodeInfo), pStreamInfo));
}

HCRYPTMSG CryptMsgOpenToDecode(DWORD dwMsgEncodingType, DWORD dwFlags, DWORD dwMsgType,
                               HCRYPTPROV_LEGACY, PCERT_INFO, PCMSG_STREAM_INFO pStreamInfo) {
  if (!EncodingAccepted(dwMsgEncodingType)) {
    SetLastError(E_INVALIDARG);
    return nullptr;
  }
  if (pStreamInfo != nullptr || dwMsgType == CMSG_ENVELOPED) {
    if ((dwMsgType != 0 && dwMsgType != CMSG_ENVELOPED) || (dwFlags & CMSG_DETACHED_FLAG)) {
      SetLastError(static_cast<DWORD>(CRYPT_E_INVALID_MSG_TYPE));
      return nullptr;
    }
    return Register(OpenEnvelopeDecoder(pStreamInfo));
  }
  return Register(OpenSignedDecoder(dwFlags, dwMsgType));
}

BOOL CryptMsgUpdate(HCRYPTMSG hCryptMsg, const BYTE* pbData, DWORD cbData, BOOL fFinal) {
  Message* message = LookupMessage(hCryptMsg);
  if (message == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (pbData == nullptr && cbData != 0) {
    SetLastError(E_INVALIDARG);
    return FALSE;
  }
  return message->Update({pbData, cbData}, fFinal);
}

BOOL CryptMsgGetParam(HCRYPTMSG hCryptMsg, DWORD dwParamType, DWORD dwIndex, void* pvData,
                      DWORD* pcbData) {
  Message* message = LookupMessage(hCryptMsg);
  if (message == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (pcbData == nullptr) {
    SetLastError(E_INVALIDARG);
    return FALSE;
  }
  return message->GetParam(dwParamType, dwIndex, pvData, pcbData);
}

BOOL CryptMsgControl(HCRYPTMSG hCryptMsg, DWORD dwFlags, DWORD dwCtrlType,
                     const void* pvCtrlPara) {
  Message* message = LookupMessage(hCryptMsg);
  if (message == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return message->Control(dwFlags, dwCtrlType, pvCtrlPara);
}

BOOL CryptMsgClose(HCRYPTMSG hCryptMsg) {
  if (hCryptMsg == nullptr) return TRUE;
  if (!Messages().Take(hCryptMsg)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}
