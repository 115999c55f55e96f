// UTF-8 source. The Chinese wording follows the window's own table: 档案/檔案 for a file,
// 资料/資料 for data, 读卡机/讀卡機 for the reader.
#include "shell/toolstext.h"
#include "shell/languagetable.h"

namespace relvix {
namespace {

const char *const kTexts[kToolTextCount][kLanguageCount] = {
    /* ToolsMenu */ {"&Tools", "工具(&T)", "工具(&T)"},
    /* TrafficMonitorItem */ {"&Traffic monitor", "通讯监视(&T)", "通訊監視(&T)"},
    /* FindReadersItem */ {"&Find readers", "寻找读卡机(&F)", "尋找讀卡機(&F)"},
    /* MonitorTitle */ {"Traffic monitor", "通讯监视", "通訊監視"},
    /* TrafficTab */ {"Traffic", "通讯", "通訊"},
    /* CardsTab */ {"Cards", "卡片", "卡片"},
    /* Pause */ {"Pause", "暂停", "暫停"},
    /* Clear */ {"Clear", "清除", "清除"},
    /* SaveText */ {"Save as text...", "另存为文字档...", "另存為文字檔..."},
    /* SaveCsv */ {"Save as CSV...", "另存为CSV...", "另存為CSV..."},
    /* TimeColumn */ {"Time", "时间", "時間"},
    /* DirectionColumn */ {"Direction", "方向", "方向"},
    /* SlaveColumn */ {"Slave", "站号", "站號"},
    /* FunctionColumn */ {"Function", "功能码", "功能碼"},
    /* BytesColumn */ {"Bytes", "资料", "資料"},
    /* MeaningColumn */ {"Meaning", "说明", "說明"},
    /* KindColumn */ {"Kind", "类型", "類型"},
    /* ReadColumn */ {"UID / code", "卡号 / 密码", "卡號 / 密碼"},
    /* FormatColumn */ {"Format", "格式", "格式"},
    /* CardKind */ {"Card", "卡片", "卡片"},
    /* KeypadKind */ {"Keypad", "键盘", "鍵盤"},
    /* LineCount */ {"%1 lines", "%1 行", "%1 行"},
    /* PausedNote */ {"paused: nothing is recorded", "已暂停: 不记录", "已暫停: 不記錄"},
    /* RowCount */ {"%1 cards and codes", "%1 笔卡号与密码", "%1 筆卡號與密碼"},
    /* SaveFailed */ {"Could not write %1", "无法写入 %1", "無法寫入 %1"},
    /* TextFiles */ {"Text files (*.txt)", "文字档 (*.txt)", "文字檔 (*.txt)"},
    /* CsvFiles */ {"CSV files (*.csv)", "CSV档 (*.csv)", "CSV檔 (*.csv)"},
};

} // namespace

QString toolText(int language, ToolText id)
{
    const int row = static_cast<int>(id);
    if (row < 0 || row >= kToolTextCount)
        return {};
    if (language < 0 || language >= kLanguageCount)
        language = English;
    return QString::fromUtf8(kTexts[row][language]);
}

} // namespace relvix
