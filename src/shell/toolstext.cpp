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
    /* FinderTitle */ {"Find readers", "寻找读卡机", "尋找讀卡機"},
    /* LinkGroup */ {"Link", "连线", "連線"},
    /* SerialChoice */ {"Serial port %1", "串列 %1", "串列 %1"},
    /* TcpChoice */ {"TCP %1 port %2", "网路 %1 连接阜 %2", "網路 %1 連接阜 %2"},
    /* ModesGroup */ {"Serial modes", "串列模式", "串列模式"},
    /* AddressesLabel */ {"Addresses:", "站号:", "站號:"},
    /* AddressesTo */ {"to", "至", "至"},
    /* ScanTimeoutLabel */ {"Time-out per address (ms):", "每个站号逾时 (ms):", "每個站號逾時 (ms):"},
    /* AutomaticTimeout */ {"automatic", "自动", "自動"},
    /* Start */ {"Start", "开始", "開始"},
    /* CancelScan */ {"Cancel", "取消", "取消"},
    /* Use */ {"Use", "使用", "使用"},
    /* ExportCsv */ {"Export CSV...", "汇出CSV...", "匯出CSV..."},
    /* ModeColumn */ {"Mode", "模式", "模式"},
    /* AddressColumn */ {"Address", "站号", "站號"},
    /* SerialNumberColumn */ {"S/N", "序号", "序號"},
    /* VersionColumn */ {"Version", "版本", "版本"},
    /* ResponseColumn */ {"Response (ms)", "回应 (ms)", "回應 (ms)"},
    /* NoteColumn */ {"Note", "附注", "附註"},
    /* LateNote */ {"late: answered after the time-out", "延迟: 逾时后才回应", "延遲: 逾時後才回應"},
    /* NoIdentityNote */ {"S/N and version not read", "未读到序号与版本", "未讀到序號與版本"},
    /* ScanningStatus */
    {"Asking %1, address %2 (%3 of %4)", "扫描 %1, 站号 %2 (%3 / %4)", "掃描 %1, 站號 %2 (%3 / %4)"},
    /* FoundStatus */
    {"%1 reader(s) found; %2 of %3 addresses asked", "找到 %1 台读卡机; 已扫描 %2 / %3 个站号",
     "找到 %1 台讀卡機; 已掃描 %2 / %3 個站號"},
    /* CancelledStatus */
    {"Cancelled: %1 reader(s) found; %2 of %3 addresses asked", "已取消: 找到 %1 台读卡机; 已扫描 %2 / %3 个站号",
     "已取消: 找到 %1 台讀卡機; 已掃描 %2 / %3 個站號"},
    /* OpenFailedStatus */ {"Could not open %1: %2", "无法开启 %1: %2", "無法開啟 %1: %2"},
    /* LinkLostStatus */ {"The link was lost: %1", "连线中断: %1", "連線中斷: %1"},
    /* BusyStatus */
    {"Another operation holds the link: end it, then start again.", "其他操作正在使用连线: 请先结束它再开始.",
     "其他操作正在使用連線: 請先結束它再開始."},
    /* NoModesStatus */ {"Tick at least one serial mode.", "请至少勾选一个串列模式.", "請至少勾選一個串列模式."},
    /* EmptyRangeStatus */
    {"The first address is above the last.", "起始站号大于结束站号.", "起始站號大於結束站號."},
    /* UsedStatus */
    {"Address %1 on %2 is in the main window: Connect there (it is saved once the reader answers).",
     "站号 %1, %2 已填入主视窗: 请在主视窗连线 (读卡机回应后才储存).",
     "站號 %1, %2 已填入主視窗: 請在主視窗連線 (讀卡機回應後才儲存)."},
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
