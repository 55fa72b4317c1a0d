/* The provider's resources as data: the string table, dialogs 102 and 131, the data resource
 * 666 and the version record. This file is the one description of them. The C++ tables that
 * the Linux platform registers at load (string_table.cpp, dialogs.cpp, module.cpp) and the
 * Windows resource script (KelmKSPv5.rc, compiled by windres) both expand the lists below, so
 * the two builds carry the same resources.
 *
 * Preprocessor only, UTF-8 texts, no C++ syntax: the resource compiler reads it too.
 * A list macro takes the name of a row macro and applies it to every row. */
#ifndef KELM_RESOURCES_RESOURCE_DATA_H
#define KELM_RESOURCES_RESOURCE_DATA_H

/* String table: three rows per message (English, Traditional Chinese, Simplified Chinese). */
#define KELM_STRING_TABLE(ROW)                                                     \
    /* PIN-pad prompt */                                                           \
    ROW(200, "Please enter your password on the second-generation card reader")    \
    ROW(201, "請於二代讀卡機上輸入密碼")                                           \
    ROW(202, "请于二代卡片阅读机上输入密码")                                       \
    /* message-box caption */                                                      \
    ROW(203, "KELM CSP V5")                                                        \
    ROW(204, "KELM CSP V5")                                                        \
    ROW(205, "KELM CSP V5")                                                        \
    /* PIN dialog title, PIN-pad caption */                                        \
    ROW(206, "Input the pin code")                                                 \
    ROW(207, "晶片卡密碼驗證- KELM CSP")                                           \
    ROW(208, "芯片卡密码验证- KELM CSP")                                           \
    /* PIN dialog label */                                                         \
    ROW(209, "Password(6-16)")                                                     \
    ROW(210, "密碼(6-16)位元 :")                                                   \
    ROW(211, "密码(6-16)位 :")                                                     \
    /* OK button */                                                                \
    ROW(212, "Confirm")                                                            \
    ROW(213, "確定")                                                               \
    ROW(214, "确定")                                                               \
    /* Cancel button */                                                            \
    ROW(215, "Cancel")                                                             \
    ROW(216, "取消")                                                               \
    ROW(217, "取消")                                                               \
    /* PC/SC context failure */                                                    \
    ROW(218, "Please confirm that you want to install the card reader driver?")    \
    ROW(219, "請確認是否安裝讀卡機驅動程式?")                                      \
    ROW(220, "请确认是否安装卡片阅读机驱动程序?")                                  \
    /* reader listing failure */                                                   \
    ROW(221, "Be sure PC/SC card reader has been properly set")                    \
    ROW(222, "請正確安裝PCSC讀卡機")                                               \
    ROW(223, "请正确安装PCSC卡片阅读机")                                           \
    /* preferred reader failure */                                                 \
    ROW(224, "Unable to connect the card reader")                                  \
    ROW(225, "無法連接讀卡機")                                                     \
    ROW(226, "无法连接卡片阅读机")                                                 \
    /* no card */                                                                  \
    ROW(227, "Be sure IC card has been properly set")                              \
    ROW(228, "請正確插入晶片卡")                                                   \
    ROW(229, "请正确插入芯片卡")                                                   \
    /* PIN locked */                                                               \
    ROW(230, "The pin code of the  IC card has been locked!")                      \
    ROW(231, "晶卡片已經被鎖住")                                                   \
    ROW(232, "晶卡片已经被锁住")                                                   \
    /* wrong PIN */                                                                \
    ROW(233, "Password is incorrect, please re-enter the password or Cancel")      \
    ROW(234, "密碼不正確，請重新輸入密碼或取消")                                   \
    ROW(235, "密码不正确，请重新输入密码或取消")

/* Dialog and control identifiers. */
#define KELM_IDD_PIN 102
#define KELM_IDD_RETRY 131
#define KELM_IDI_CARD 103
#define KELM_IDC_PIN_EDIT 1017
#define KELM_IDC_PIN_LABEL 1023
#define KELM_IDC_RETYPE_PIN 1019
#define KELM_IDC_RETRY_NOTE 1020
#define KELM_IDC_STATIC (-1)
#define KELM_IDOK 1
#define KELM_IDCANCEL 2

/* Control styles beyond each kind's own (edit: border and tab stop; label: left-aligned). */
#define KELM_ES_PASSWORD 0x0020
#define KELM_ES_AUTOHSCROLL 0x0080
#define KELM_SS_RIGHT 0x0002

/* Dialogs: identifier, title, font, points, width, height (dialog units), control list.
 * Both are modal, centred, with a caption bar. The PIN dialog's texts are replaced at run time
 * by the localized ones; the templates carry the Traditional Chinese texts. */
#define KELM_DIALOGS(DIALOG)                                                                   \
    DIALOG(KELM_IDD_PIN, "晶片卡密碼驗證-KELM CSP V5", "細明體", 10, 163, 93, KELM_PIN_CONTROLS) \
    DIALOG(KELM_IDD_RETRY, "  KELM CSP V5", "System", 10, 232, 78, KELM_RETRY_CONTROLS)

/* Controls: kind, identifier, text, x, y, width, height, extra style. An icon's text is the
 * number of its icon resource. */
#define KELM_PIN_CONTROLS(CONTROL)                                                                   \
    CONTROL(Edit, KELM_IDC_PIN_EDIT, "", 7, 40, 90, 14, KELM_ES_PASSWORD | KELM_ES_AUTOHSCROLL)      \
    CONTROL(DefPushButton, KELM_IDOK, "確定", 106, 17, 50, 14, 0)                                    \
    CONTROL(Icon, KELM_IDC_STATIC, KELM_IDI_CARD, 7, 15, 20, 20, 0)                                  \
    CONTROL(Label, KELM_IDC_PIN_LABEL, "密碼(6-16)位元 :", 31, 20, 65, 8, KELM_SS_RIGHT)             \
    CONTROL(PushButton, KELM_IDCANCEL, "取消", 106, 40, 50, 14, 0)

#define KELM_RETRY_CONTROLS(CONTROL)                                                                 \
    CONTROL(DefPushButton, KELM_IDOK, "換卡", 7, 55, 50, 14, 0)                                      \
    CONTROL(PushButton, KELM_IDCANCEL, "取消", 175, 55, 50, 14, 0)                                   \
    CONTROL(PushButton, KELM_IDC_RETYPE_PIN, "重敲密碼", 87, 55, 56, 14, 0)                          \
    CONTROL(Label, KELM_IDC_STATIC, "IC卡格式不符合，或密碼不正確；請重新輸入密碼或置換IC卡", 6, 8, 218, 15, 0) \
    CONTROL(Label, KELM_IDC_STATIC, "請注意，驗證密碼錯誤超過 (含) 3 次，卡片將被鎖住。", 8, 28, 210, 12, 0)    \
    CONTROL(Label, KELM_IDC_RETRY_NOTE, "", 96, 25, 14, 11, 0)

/* Data resource 666 (RCDATA): the 16 bytes 00 11 22 ... FF, nine times over, as the
 * little-endian 16-bit words the resource compiler writes. The platform's provider loader
 * looks for it; the provider itself never reads it. */
#define KELM_IDR_PROVIDER_DATA 666
#define KELM_PROVIDER_DATA_ROW 0x1100, 0x3322, 0x5544, 0x7766, 0x9988, 0xBBAA, 0xDDCC, 0xFFEE
#define KELM_PROVIDER_DATA_WORDS                                                        \
    KELM_PROVIDER_DATA_ROW, KELM_PROVIDER_DATA_ROW, KELM_PROVIDER_DATA_ROW,             \
    KELM_PROVIDER_DATA_ROW, KELM_PROVIDER_DATA_ROW, KELM_PROVIDER_DATA_ROW,             \
    KELM_PROVIDER_DATA_ROW, KELM_PROVIDER_DATA_ROW, KELM_PROVIDER_DATA_ROW

/* Version record. */
#define KELM_VERSION_NUMBERS 1, 0, 0, 5
#define KELM_VERSION_TEXT "1.0.0.5"
#define KELM_ORIGINAL_FILENAME "KelmKSPv5.dll"
#define KELM_FILE_DESCRIPTION "KELMKSPV5"
#define KELM_PRODUCT_NAME "KELM KSP V5"

#endif /* KELM_RESOURCES_RESOURCE_DATA_H */
