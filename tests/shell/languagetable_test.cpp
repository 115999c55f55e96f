// The language table against the texts it must hold, copied row by row from the table of
// window texts (English, Simplified Chinese, Traditional Chinese).
#include "shell/languagetable.h"

#include <gtest/gtest.h>

using namespace relvix;

namespace {

const char *const kExpected[64][3] = {
    /*  0 */ {"Relvix V0112", "Relvix V0112", "Relvix V0112"},
    /*  1 */
    {"This tool support: MODBUS RTU READER .", "本软体支援: MODBUS RTU READER。", "本軟體支援: MODBUS RTU READER。"},
    /*  2 */ {"Open communication port error!", "开启通讯阜错误!", "開啟通訊阜錯誤!"},
    /*  3 */ {"Start connect device", "连线装置", "連線裝置"},
    /*  4 */ {"&Language", "语言(&Language)", "語言(&Language)"},
    /*  5 */ {"&File", "档案(&F)", "檔案(&F)"},
    /*  6 */ {"&Setup", "设定(&S)", "設定(&S)"},
    /*  7 */ {"About", "关于", "關於"},
    /*  8 */ {"&About", "关于(&A)", "關於(&A)"},
    /*  9 */ {"E&xit", "离开(&x)", "離開(&x)"},
    /* 10 */ {"&English", "&Simplified chinese(简体)", "&Traditional chinese(繁體)"},
    /* 11 */ {"COM", "串列", "串列"},
    /* 12 */ {"NET", "网路", "網路"},
    /* 13 */ {"Speed:", "速率:", "速率:"},
    /* 14 */ {"Port:", "连接阜:", "連接阜:"},
    /* 15 */ {"Note", "附注", "附註"},
    /* 16 */ {"VERSION:", "版本:", "版本:"},
    /* 17 */ {"&Firmware file", "韧体档案(&F)", "韌體檔案(&F)"},
    /* 18 */ {"Connect device", "连线装置", "連線裝置"},
    /* 19 */ {"Connecting device ...", "连线装置中 ...", "連線裝置中 ..."},
    /* 20 */ {"Connect device error!", "连线装置错误!", "連線裝置錯誤!"},
    /* 21 */ {"Connect device ok.", "连线装置完成.", "連線裝置完成."},
    /* 22 */ {"Command ok.", "指令完成.", "指令完成."},
    /* 23 */ {"Command error!", "指令错误!", "指令錯誤!"},
    /* 24 */ {"Basic test", "基本测试", "基本測試"},
    /* 25 */ {"Command test", "指令测试", "指令測試"},
    /* 26 */ {"Firmware upgrade", "韧体更新", "韌體更新"},
    /* 27 */ {"Setting", "参数设定", "參數設定"},
    /* 28 */ {"Clear log", "清除纪录", "清除紀錄"},
    /* 29 */ {"Cancel test", "取消测试", "取消測試"},
    /* 30 */ {"Polling data test", "读取资料测试", "讀取資料測試"},
    /* 31 */ {"POLLING DATA", "读取资料", "讀取資料"},
    /* 32 */ {"Set ID", "设定ID", "設定ID"},
    /* 33 */ {"ID:", "ID:", "ID:"},
    /* 34 */ {"S/N:", "S/N:", "S/N:"},
    /* 35 */ {"Read data", "读取资料", "讀取資料"},
    /* 36 */ {"Cancel", "取消", "取消"},
    /* 37 */ {"Clear data", "清除资料", "清除資料"},
    /* 38 */ {"Loop", "循环", "循環"},
    /* 39 */ {"Read DI/DO", "读取DI/DO", "讀取DI/DO"},
    /* 40 */ {"Set DO", "设定DO", "設定DO"},
    /* 41 */ {"Set factory", "设定出厂值", "設定出廠值"},
    /* 42 */ {"Set reboot", "设定重新开机", "設定重新開機"},
    /* 43 */ {"Set Net reset", "设定网路重置", "設定網路重置"},
    /* 44 */ {"Command test", "指令测试", "指令測試"},
    /* 45 */ {"Send command", "发送指令", "發送指令"},
    /* 46 */ {"Send command(Hex):", "发送指令(Hex):", "發送指令(Hex):"},
    /* 47 */ {"Receive data(Hex):", "接收资料(Hex):", "接收資料(Hex):"},
    /* 48 */ {"Scan devie(ID:1-64)", "扫描装置(ID:1-64)", "掃描裝置(ID:1-64)"},
    /* 49 */ {"Scan device", "扫描装置", "掃描裝置"},
    /* 50 */ {"Scan/Test", "扫描/运行", "掃描/運行"},
    /* 51 */ {"Test all devie", "测试全部装置", "測試全部裝置"},
    /* 52 */ {"Set S/N", "设定序号", "設定序號"},
    /* 53 */ {"Number:", "数量:", "數量:"},
    /* 54 */ {"Delay", "延迟", "延遲"},
    /* 55 */ {"Firmware load (ONE)", "韧体载入 (单台)", "韌體載入(單台)"},
    /* 56 */ {"Firmware load (BOARDCAST)", "韧体载入(广播)", "韌體載入(廣播)"},
    /* 57 */ {"Programming ...", "烧录载入中 ...", "燒錄載入中 ..."},
    /* 58 */ {"Verifying ...", "检查中 ...", "檢查中 ..."},
    /* 59 */ {"Upgrading ...", "更新中 ...", "更新中 ..."},
    /* 60 */ {"Load firmware file error!", "载入韧体档案错误!", "載入韌體檔案錯誤!"},
    /* 61 */ {"Firmware file format model error!", "韧体档案格式机型错误!", "韌體檔案格式機型錯誤!"},
    /* 62 */ {"Firmware file", "韧体档案", "韌體檔案"},
    /* 63 */ {"Are you sure?", "您是否确认？", "您是否確認？"},
};

} // namespace

TEST(LanguageTable, EveryRowInEveryColumn)
{
    for (int row = 0; row < 64; ++row) {
        for (int language = 0; language < 3; ++language)
            EXPECT_EQ(LanguageTextFor(language, row), QString::fromUtf8(kExpected[row][language]))
                << "row " << row << " column " << language;
    }
}

TEST(LanguageTable, ConnectingTextInTheThreeLanguages)
{
    EXPECT_EQ(LanguageTextFor(0, 19), QStringLiteral("Connecting device ..."));
    EXPECT_EQ(LanguageTextFor(1, 19), QStringLiteral("连线装置中 ..."));
    EXPECT_EQ(LanguageTextFor(2, 19), QStringLiteral("連線裝置中 ..."));
}

TEST(LanguageTable, TitleIsTheSameInAllColumns)
{
    for (int language = 0; language < 3; ++language)
        EXPECT_EQ(LanguageTextFor(language, 0), QStringLiteral("Relvix V0112"));
}

TEST(LanguageTable, LanguageItemsRowHoldsThreeCaptions)
{
    EXPECT_EQ(LanguageTextFor(0, 10), QStringLiteral("&English"));
    EXPECT_EQ(LanguageTextFor(1, 10), QStringLiteral("&Simplified chinese(简体)"));
    EXPECT_EQ(LanguageTextFor(2, 10), QStringLiteral("&Traditional chinese(繁體)"));
}

TEST(LanguageTable, OutsideTheTableIsEmpty)
{
    EXPECT_TRUE(LanguageTextFor(0, -1).isEmpty());
    EXPECT_TRUE(LanguageTextFor(0, 64).isEmpty());
    EXPECT_TRUE(LanguageTextFor(3, 0).isEmpty());
    EXPECT_TRUE(LanguageTextFor(-1, 0).isEmpty());
}

TEST(LanguageTable, FlagsOfTheLanguages)
{
    EXPECT_EQ(LanguageFlagFor(0), QStringLiteral("English"));
    EXPECT_EQ(LanguageFlagFor(1), QStringLiteral("ChineseGB"));
    EXPECT_EQ(LanguageFlagFor(2), QStringLiteral("ChineseBIG5"));
}
