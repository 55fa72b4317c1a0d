// The string table, stored as UTF-8. The column for a language is chosen at load time.
#include "resources/resources.h"

namespace kelm::resources {

extern const platform::StringResource kStringTable[] = {
    // PIN-pad prompt
    {200, "Please enter your password on the second-generation card reader"},
    {201, "請於二代讀卡機上輸入密碼"},
    {202, "请于二代卡片阅读机上输入密码"},
    // message-box caption
    {203, "KELM CSP V5"},
    {204, "KELM CSP V5"},
    {205, "KELM CSP V5"},
    // PIN dialog title, PIN-pad caption
    {206, "Input the pin code"},
    {207, "晶片卡密碼驗證- KELM CSP"},
    {208, "芯片卡密码验证- KELM CSP"},
    // PIN dialog label
    {209, "Password(6-16)"},
    {210, "密碼(6-16)位元 :"},
    {211, "密码(6-16)位 :"},
    // OK button
    {212, "Confirm"},
    {213, "確定"},
    {214, "确定"},
    // Cancel button
    {215, "Cancel"},
    {216, "取消"},
    {217, "取消"},
    // PC/SC context failure
    {218, "Please confirm that you want to install the card reader driver?"},
    {219, "請確認是否安裝讀卡機驅動程式?"},
    {220, "请确认是否安装卡片阅读机驱动程序?"},
    // reader listing failure
    {221, "Be sure PC/SC card reader has been properly set"},
    {222, "請正確安裝PCSC讀卡機"},
    {223, "请正确安装PCSC卡片阅读机"},
    // preferred reader failure
    {224, "Unable to connect the card reader"},
    {225, "無法連接讀卡機"},
    {226, "无法连接卡片阅读机"},
    // no card
    {227, "Be sure IC card has been properly set"},
    {228, "請正確插入晶片卡"},
    {229, "请正确插入芯片卡"},
    // PIN locked
    {230, "The pin code of the  IC card has been locked!"},
    {231, "晶卡片已經被鎖住"},
    {232, "晶卡片已经被锁住"},
    // wrong PIN
    {233, "Password is incorrect, please re-enter the password or Cancel"},
    {234, "密碼不正確，請重新輸入密碼或取消"},
    {235, "密码不正确，请重新输入密码或取消"},
};
extern const size_t kStringTableSize = sizeof(kStringTable) / sizeof(kStringTable[0]);

}  // namespace kelm::resources
