#include "ui/select-dialog/ConsentTexts.h"

namespace select_dialog {
namespace {

constexpr ConsentTexts kEnglish = {
    "Permission request",
    "This page asks to:",
    "use your certificates and keys",
    "read and write files",
    "Not secure: this page did not come over a secure connection, so others on the network "
    "could have changed what it does with your permission.",
    "Script call: ",
    "Allow for this page",
    "Always allow this site",
    "Deny",
    "Requested by ",
    "Grant a folder\u2026",
    "This site may also use the files in: ",
    "Grant a folder to ",
    "_Grant",
    "_Cancel",
    "in a frame of the page ",
};

constexpr ConsentTexts kSimplifiedChinese = {
    "权限请求",
    "此网页请求：",
    "使用您的证书和密钥",
    "读写文件",
    "不安全：此网页不是通过安全连接传送的，网络上的其他人可能已篡改它获得您许可后的行为。",
    "脚本调用：",
    "允许此网页",
    "始终允许此网站",
    "拒绝",
    "请求方：",
    "授予文件夹\u2026",
    "此网站还可以使用以下文件夹中的文件：",
    "将文件夹授予：",
    "授予(_G)",
    "取消(_C)",
    "嵌在以下网页的框架中：",
};

constexpr ConsentTexts kTraditionalChinese = {
    "權限請求",
    "此網頁要求：",
    "使用您的憑證和金鑰",
    "讀寫檔案",
    "不安全：此網頁並非透過安全連線傳送，網路上的其他人可能已竄改它獲得您許可後的行為。",
    "指令碼呼叫：",
    "允許此網頁",
    "一律允許此網站",
    "拒絕",
    "要求者：",
    "授予資料夾\u2026",
    "此網站也可以使用以下資料夾中的檔案：",
    "將資料夾授予：",
    "授予(_G)",
    "取消(_C)",
    "嵌在以下網頁的框架中：",
};

}  // namespace

TextLanguage LanguageOf(LANGID language) {
  switch (language) {
    case 0x0804:
      return TextLanguage::kSimplifiedChinese;
    case 0x0404:
    case 0x0C04:
    case 0x1404:
      return TextLanguage::kTraditionalChinese;
    default:
      return TextLanguage::kEnglish;
  }
}

const ConsentTexts& ConsentTextsFor(LANGID language) {
  switch (LanguageOf(language)) {
    case TextLanguage::kSimplifiedChinese:
      return kSimplifiedChinese;
    case TextLanguage::kTraditionalChinese:
      return kTraditionalChinese;
    case TextLanguage::kEnglish:
      break;
  }
  return kEnglish;
}

}  // namespace select_dialog
