#include "resources/StringTable.h"

#include <iterator>

namespace {

// The texts are product data, kept exactly as shipped (spelling included).
constexpr STRING_RESOURCE kStrings[] = {
    {0x1001, u"There is no available certificate in store.", u"证书库中没有可用的证书",
     u"證書庫中沒有可用的證書"},
    {0x1002, u"User canceled operation.", u"用户取消选择证书", u"用戶取消選擇證書"},
    {0x1003, u"Query type is not supported.", u"查询类型不支持", u"查詢類型不支持"},
    {0x1004, u"Base64 encoding failed.", u"Base64加密失败", u"Base64加密失敗"},
    {0x1005, u"Base64 decoding failed.", u"Base64解密失败", u"Base64解密失敗"},
    {0x1006, u"Malicious target path or file name.", u"恶意的目标路径或文件名",
     u"惡意的目標路徑或文件名"},
    {0x1007, u"Empty file", u"文件为空", u"文件為空"},
    {0x1008, u"The number of signer in pkcs#7 signature is too many.",
     u"PKCS#7签名中签名者个数过多", u"PKCS#7簽名中籤名者個數過多"},
    {0x1009, u"The SM2 certificate is not unregistered certificate.", u"SM2证书不是不注册的证书",
     u"SM2證書不是不註冊的證書"},
    {0x1020, u"Specified certificate doesn't contain key usage attribute.",
     u"指定证书不含有密钥用途属性", u"指定證書不含有密鑰用途屬性"},
    {0x1021, u"Specified certificate doesn't contain subject key ID attribute.",
     u"指定证书不含有使用者密钥标识符属性", u"指定證書不含有使用者密鑰標識符屬性"},
    {0x1022, u"Get specified extension failed.", u"获取指定的证书拓展域信息失败",
     u"獲取指定的證書拓展域信息失敗"},
    {0x1031, u"Certificate in certificate chain is time invalid", u"证书链中某个证书时间无效",
     u"證書鏈中某個證書時間無效"},
    {0x1032, u"Certificate is in offline CRL", u"证书在离线的CRL列表中", u"證書在離線的CRL列表中"},
    {0x1033, u"Certificate chain is not integrated", u"证书链不完整", u"證書鏈不完整"},
    {0x1034, u"Signature of certificate in certificate chain is invalid",
     u"证书链中某个证书签名无效", u"證書鏈中某個證書籤名無效"},
    {0x1035, u"Special cert isn't exsit", u"指定证书不存在", u"指定證書不存在"},
    {0x1041, u"ASN1 decode failed.", u"ASN.1解码失败", u"ASN.1解碼失敗"},
    {0x1042, u"PKCS7 singature decode failed.", u"PKCS7 签名解析失败", u"PKCS7 簽名解析失敗"},
    {0x1101, u"Data length exceeds limited", u"数据长度超出最大限制", u"數據長度超出最大限制"},
    {0x1102, u"The depth of recursive exceeds limited.", u"递归深度超过最大限制",
     u"遞歸深度超過最大限制"},
    {0x1103, u"Decode SM2 file certificate failed.", u"SM2文件证书解析错误",
     u"SM2文件證書解析錯誤"},
    {0x1104, u"Invalid PKCS7 singature format.", u"无效的P7签名格式", u"無效的P7簽名格式"},
    {0x1105, u"Invalid CMS envelope format.", u"无效的CMS数字信封格式", u"無效的CMS數字信封格式"},
    {0x1106, u"SM2 file certificate for decrpting envelope is not exsits.",
     u"未找到匹配的SM2解密证书", u"未找到匹配的SM2解密證書"},
    {0x1107, u"Sing failed.", u"签名失败", u"簽名失敗"},
    {0x1108, u"Decrypt SM2 file certificate failed.", u"解密SM2文件证书失败",
     u"解密SM2文件證書失敗"},
    {0x2001, u"Certificate is not ready.", u"证书没有准备好", u"證書沒有準備好"},
    {0x2002, u"Language is not supported.", u"语言不支持", u"語言不支持"},
    {0x2003, u"Certificate is not unique for specified subject DN.", u"指定主题DN的证书不唯一",
     u"指定主題DN的證書不唯一"},
    {0x2020, u"Invalid hash algorithm.", u"无效的哈希算法", u"無效的哈希算法"},
    {0x2021, u"Invalid certificate usage.", u"无效的证书用法", u"無效的證書用法"},
    {0x2022, u"Invalid sign type.", u"无效的签名类型", u"無效的簽名類型"},
    {0x2023, u"Invalid envelope type.", u"无效的数字信封类型", u"無效的數字信封類型"},
    {0x2024, u"Data exceeds limited", u"数据大小超出限制", u"數據大小超出限制"},
    {0x2025, u"Data isn't ready", u"数据没有准备好", u"數據沒有準備好"},
    {0x2026, u"The file size exceeds the limit allowed.", u"文件大小超出限制", u"文件大小超出限制"},
    {0x2027, u"Too many wrong passwords. Try again later.", u"密码错误次数过多，请稍后再试。",
     u"密碼錯誤次數過多，請稍後再試。"},
    {IDS_SITE_NOT_ALLOWED, u"This site is not allowed to use your certificates.",
     u"此网站不允许使用您的证书。", u"此網站不允許使用您的證書。"},
    {0x2029, u"This site may not use this file. Choose the file, or grant its folder to the site.",
     u"此网站无权使用该文件。请选择该文件，或将其所在文件夹授予此网站。",
     u"此網站無權使用該檔案。請選擇該檔案，或將其所在資料夾授予此網站。"},
    {0x2401, u"Invalid key algorithm.", u"无效的密钥算法", u"無效的密鑰算法"},
    // 0x1402 (CA chain installation) deliberately has no message.
    {0x1402, nullptr, nullptr, nullptr},

    // Selection dialog rows; no Traditional Chinese version exists.
    {IDS_SELECT_CERT_HEADER, u"Select a Certificate", u"选择证书", nullptr},
    {IDS_CERT_ISSUER, u"Issuer: %ws", u"颁发者: %ws", nullptr},
    {IDS_CERT_SERIAL, u"SN: %ws", u"序列号: %ws", nullptr},
    {IDS_CERT_VALIDITY, u"Valid From: %02d/%02d/%04d to %02d/%02d/%04d",
     u"有效期: %02d/%02d/%04d 至 %02d/%02d/%04d", nullptr},
};

}  // namespace

const STRING_RESOURCE* SigilStringTable() { return kStrings; }

std::size_t SigilStringTableSize() { return std::size(kStrings); }
