// UTF-8 source. The Chinese wording follows the window's own table: 档案/檔案 for a file,
// 资料/資料 for data, 读卡机/讀卡機 for the reader.
#include "shell/toolstext.h"
#include "shell/languagetable.h"

#include <QHash>
#include <QRegularExpression>
#include <QStringList>

#include <iterator>
#include <vector>

namespace relvix {
namespace {

const char *const kTexts[kToolTextCount][kLanguageCount] = {
    /* ToolsMenu */ {"&Tools", "工具(&T)", "工具(&T)"},
    /* TrafficMonitorItem */ {"&Traffic monitor", "通讯监视(&T)", "通訊監視(&T)"},
    /* FindReadersItem */ {"&Find readers", "寻找读卡机(&F)", "尋找讀卡機(&F)"},
    /* MonitorTitle */ {"Traffic monitor", "通讯监视", "通訊監視"},
    /* TrafficTab */ {"Traffic", "通讯", "通訊"},
    /* CardsTab */ {"Cards", "卡片", "卡片"},
    /* Pause */ {"&Pause", "暂停(&P)", "暫停(&P)"},
    /* Clear */ {"C&lear", "清除(&L)", "清除(&L)"},
    /* SaveText */ {"Save as &text...", "另存为文字档(&T)...", "另存為文字檔(&T)..."},
    /* SaveCsv */ {"Save as &CSV...", "另存为CSV(&C)...", "另存為CSV(&C)..."},
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
    /* DroppedNote */ {"%1 older dropped", "已舍弃较早的 %1 行", "已捨棄較早的 %1 行"},
    /* PausedNote */ {"paused: %1 new, recorded", "已暂停: 另有 %1 行已记录", "已暫停: 另有 %1 行已記錄"},
    /* RowCount */ {"%1 cards and codes", "%1 笔卡号与密码", "%1 筆卡號與密碼"},
    /* SaveFailed */ {"Could not write %1", "无法写入 %1", "無法寫入 %1"},
    /* TextFiles */ {"Text files (*.txt)", "文字档 (*.txt)", "文字檔 (*.txt)"},
    /* CsvFiles */ {"CSV files (*.csv)", "CSV档 (*.csv)", "CSV檔 (*.csv)"},
    /* FinderTitle */ {"Find readers", "寻找读卡机", "尋找讀卡機"},
    /* LinkGroup */ {"Link", "连线", "連線"},
    /* SerialChoice */ {"Serial &port %1", "串列(&P) %1", "串列(&P) %1"},
    /* TcpChoice */ {"&TCP %1 port %2", "网路(&T) %1 连接阜 %2", "網路(&T) %1 連接阜 %2"},
    /* ModesGroup */ {"Serial modes", "串列模式", "串列模式"},
    /* AddressesLabel */ {"Addresses:", "站号:", "站號:"},
    /* AddressesTo */ {"to", "至", "至"},
    /* ScanTimeoutLabel */ {"Time-out per address (ms):", "每个站号逾时 (ms):", "每個站號逾時 (ms):"},
    /* AutomaticTimeout */ {"automatic", "自动", "自動"},
    /* Start */ {"&Start", "开始(&S)", "開始(&S)"},
    /* CancelScan */ {"&Cancel", "取消(&C)", "取消(&C)"},
    /* Use */ {"&Use", "使用(&U)", "使用(&U)"},
    /* ExportCsv */ {"&Export CSV...", "汇出CSV(&E)...", "匯出CSV(&E)..."},
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
    /* Resume */ {"&Resume", "继续(&R)", "繼續(&R)"},
    /* DeltaColumn */ {"Δ ms", "间隔 ms", "間隔 ms"},
    /* ResponseMsColumn */ {"Answer ms", "回应 ms", "回應 ms"},
    /* FilterSlave */ {"Sla&ve:", "站号(&V):", "站號(&V):"},
    /* FilterFunction */ {"F&unction:", "功能码(&U):", "功能碼(&U):"},
    /* FilterAll */ {"all", "全部", "全部"},
    /* SearchHint */ {"Search", "搜寻", "搜尋"},
    /* Copy */ {"&Copy", "复制(&C)", "複製(&C)"},
    /* SelectAll */ {"Select &all", "全选(&A)", "全選(&A)"},
    /* LogToFile */ {"Log to &file...", "记录到档案(&F)...", "記錄到檔案(&F)..."},
    /* LoggingNote */ {"logging to %1", "记录到 %1", "記錄到 %1"},
    /* LogFailed */ {"Could not write %1: logging stopped", "无法写入 %1: 已停止记录", "無法寫入 %1: 已停止記錄"},
    /* ErrorsNote */ {"errors by slave: %1", "各站号错误: %1", "各站號錯誤: %1"},
    /* NoErrorsNote */ {"no errors", "没有错误", "沒有錯誤"},
    /* DroppedLine */
    {"%1 older lines were dropped before this one (the window keeps the latest %2)",
     "此行之前已舍弃较早的 %1 行 (视窗只保留最新的 %2 行)", "此行之前已捨棄較早的 %1 行 (視窗只保留最新的 %2 行)"},
    /* LinkColumn */ {"Link", "连线", "連線"},
    /* WidePreset */ {"&Wide", "全部速率(&W)", "全部速率(&W)"},
    /* UsualPreset */ {"Usual &modes", "常用模式(&M)", "常用模式(&M)"},
    /* TimeLeftNote */ {"about %1 s left", "约剩 %1 秒", "約剩 %1 秒"},
    /* HitsNote */ {"%1 answer(s)", "%1 次回应", "%1 次回應"},
    /* LateHint */
    {"%1 reader(s) answered later than the scan time-out of %2 ms (at most %3 ms) and were found by a second "
     "look: a time-out per address of %4 ms finds them at once.",
     "%1 台读卡机的回应晚于扫描逾时 %2 ms (最慢 %3 ms), 经第二次询问才找到: 每个站号逾时设为 %4 ms 可一次找到.",
     "%1 台讀卡機的回應晚於掃描逾時 %2 ms (最慢 %3 ms), 經第二次詢問才找到: 每個站號逾時設為 %4 ms 可一次找到."},
};

// The traffic log's words. An English phrase with %1 and %2 where the reader's frame meanings
// (reader/framemeaning.cpp) and the link's details put numbers, hex digits or other phrases.
// The outcome words come first, in the order of Outcome.
struct Phrase {
    const char *text[kLanguageCount];
};

constexpr Phrase kOutcomeWords[] = {
    {{"", "", ""}},
    {{"silence", "无回应", "無回應"}},
    {{"cut off", "截断", "截斷"}},
    {{"send timed out", "发送逾时", "傳送逾時"}},
    {{"peer closed", "对方关闭", "對方關閉"}},
    {{"link lost", "连线中断", "連線中斷"}},
    {{"exception", "异常", "異常"}},
    {{"mismatch", "不符", "不符"}},
    {{"no link", "未连线", "未連線"}},
    {{"garbled", "乱码", "亂碼"}},
    {{"local echo", "本地回显", "本地回顯"}},
    {{"answered twice", "重复回应", "重複回應"}},
};
constexpr int kOutcomeCount = int(std::size(kOutcomeWords));
static_assert(kOutcomeCount == int(Outcome::AnsweredTwice) + 1, "a word for every outcome");

constexpr Phrase kPhrases[] = {
    // Requests.
    {{"read address", "读取站号", "讀取站號"}},
    {{"read S/N + version", "读取序号与版本", "讀取序號與版本"}},
    {{"read DI/DO", "读取DI/DO", "讀取DI/DO"}},
    {{"read card block", "读取卡号区块", "讀取卡號區塊"}},
    {{"read keypad block", "读取键盘区块", "讀取鍵盤區塊"}},
    {{"write address %1", "写入站号 %1", "寫入站號 %1"}},
    {{"reboot", "重新启动", "重新啟動"}},
    {{"factory settings", "恢复出厂设定", "恢復出廠設定"}},
    {{"write maintenance %1", "写入维护命令 %1", "寫入維護命令 %1"}},
    {{"write outputs %1", "写入输出 %1", "寫入輸出 %1"}},
    {{"clear card block", "清除卡号区块", "清除卡號區塊"}},
    {{"clear keypad block", "清除键盘区块", "清除鍵盤區塊"}},
    {{"write register %1 = %2", "写入暂存器 %1 = %2", "寫入暫存器 %1 = %2"}},
    {{"read register %1", "读取暂存器 %1", "讀取暫存器 %1"}},
    {{"read %1 registers at %2", "读取 %2 起的 %1 个暂存器", "讀取 %2 起的 %1 個暫存器"}},
    {{"function %1, not %2", "功能码 %1, 不是 %2", "功能碼 %1, 不是 %2"}},
    {{"function %1", "功能码 %1", "功能碼 %1"}},
    // Answers.
    {{"no card", "无卡片", "無卡片"}},
    {{"card %1", "卡片 %1", "卡片 %1"}},
    {{"no keys", "无按键", "無按鍵"}},
    {{"keys %1", "按键 %1", "按鍵 %1"}},
    {{"byte count %1, expected %2", "位元组数 %1, 应为 %2", "位元組數 %1, 應為 %2"}},
    {{"address %1", "站号 %1", "站號 %1"}},
    {{"S/N %1, VER %2", "序号 %1, 版本 %2", "序號 %1, 版本 %2"}},
    {{"DI %1, DO %2", "输入 DI %1, 输出 DO %2", "輸入 DI %1, 輸出 DO %2"}},
    {{"incomplete", "不完整", "不完整"}},
    {{"bad CRC", "CRC错误", "CRC錯誤"}},
    {{"exception %1 (%2)", "异常 %1 (%2)", "異常 %1 (%2)"}},
    {{"exception %1 %2", "异常 %1 %2", "異常 %1 %2"}},
    {{"from slave %1, not the answer", "来自站号 %1, 不是回应", "來自站號 %1, 不是回應"}},
    {{"from slave %1, not %2", "来自站号 %1, 不是 %2", "來自站號 %1, 不是 %2"}},
    {{"from slave %1, %2", "来自站号 %1, %2", "來自站號 %1, %2"}},
    {{"not the answer", "不是回应", "不是回應"}},
    {{"late", "迟到", "遲到"}},
    {{"echo differs", "回显不同", "回顯不同"}},
    {{"echo", "回显相同", "回顯相同"}},
    // The standard exception names.
    {{"illegal function", "非法功能码", "非法功能碼"}},
    {{"illegal data address", "非法资料地址", "非法資料位址"}},
    {{"illegal data value", "非法资料值", "非法資料值"}},
    {{"server device failure", "从站设备故障", "從站設備故障"}},
    {{"acknowledge", "已确认", "已確認"}},
    {{"server device busy", "从站设备忙碌", "從站設備忙碌"}},
    {{"memory parity error", "记忆体同位错误", "記憶體同位錯誤"}},
    {{"gateway path unavailable", "闸道路径不可用", "閘道路徑不可用"}},
    {{"gateway target device failed to respond", "闸道目标设备无回应", "閘道目標設備無回應"}},
    {{"unknown exception", "未知异常", "未知異常"}},
    // The link's details.
    {{"silence over %1 ms", "超过 %1 ms 无回应", "超過 %1 ms 無回應"}},
    {{"no response within %1 ms", "%1 ms 内无回应", "%1 ms 內無回應"}},
    {{"cut off after %1 ms of bytes without a response", "持续 %1 ms 收到资料却无回应, 已截断",
      "持續 %1 ms 收到資料卻無回應, 已截斷"}},
    {{"the send was not done within %1 ms", "%1 ms 内未完成发送", "%1 ms 內未完成傳送"}},
    {{"the peer closed the connection", "对方关闭了连线", "對方關閉了連線"}},
    {{"peer closed the connection", "对方关闭了连线", "對方關閉了連線"}},
    {{"link lost: %1", "连线中断: %1", "連線中斷: %1"}},
    {{"no open link", "没有开启的连线", "沒有開啟的連線"}},
    {{"%1 byte(s) of no valid frame", "%1 个位元组不成有效讯框", "%1 個位元組不成有效訊框"}},
    {{"the local echo of the request", "请求的本地回显", "請求的本地回顯"}},
    {{"only the local echo came back: no reader answered", "只收到本地回显: 没有读卡机回应",
      "只收到本地回顯: 沒有讀卡機回應"}},
    {{"two answers: more than one reader at address %1?", "两个回应: 站号 %1 有多台读卡机?",
      "兩個回應: 站號 %1 有多台讀卡機?"}},
    {{"%1 valid frame(s) that were not the answer dropped", "已丢弃 %1 个不是回应的有效讯框",
      "已丟棄 %1 個不是回應的有效訊框"}},
    {{"the port could not be read", "无法读取串列埠", "無法讀取串列埠"}},
    {{"the connection failed", "连线失败", "連線失敗"}},
    {{"the connection refused the send", "连线拒绝发送", "連線拒絕傳送"}},
    // What an open tried, and why it failed (the system's own words stay as they came).
    {{"network %1:%2", "网路 %1:%2", "網路 %1:%2"}},
    {{"serial %1 %2", "串列 %1 %2", "串列 %1 %2"}},
    {{"no such device", "没有此装置", "沒有此裝置"}},
    {{"permission denied", "权限不足", "權限不足"}},
    {{"in use", "使用中", "使用中"}},
    {{"not a serial port", "不是串列埠", "不是串列埠"}},
    {{"bad setting", "设定错误", "設定錯誤"}},
    {{"connection refused", "连线被拒", "連線被拒"}},
    {{"timed out", "逾时", "逾時"}},
    {{"unreachable", "无法连到", "無法連到"}},
    {{"bad address", "位址错误", "位址錯誤"}},
    {{"failed", "失败", "失敗"}},
    {{"%1: %2", "%1: %2", "%1: %2"}},
};

// Each phrase as a pattern: the English text with every %N a lazy group, matched whole.
struct Pattern {
    QRegularExpression english;
    std::vector<int> args; // the %N of each group, in order
};

const std::vector<Pattern> &patterns()
{
    static const std::vector<Pattern> all = [] {
        std::vector<Pattern> list;
        static const QRegularExpression marker(QStringLiteral("%(\\d)"));
        for (const Phrase &p : kPhrases) {
            const QString text = QString::fromUtf8(p.text[0]);
            QString pattern = QStringLiteral("^");
            std::vector<int> args;
            qsizetype at = 0;
            for (auto m = marker.globalMatch(text); m.hasNext();) {
                const auto hit = m.next();
                pattern += QRegularExpression::escape(text.mid(at, hit.capturedStart() - at)) + QStringLiteral("(.+?)");
                args.push_back(hit.captured(1).toInt());
                at = hit.capturedEnd();
            }
            pattern += QRegularExpression::escape(text.mid(at)) + QLatin1Char('$');
            list.push_back({QRegularExpression(pattern), std::move(args)});
        }
        return list;
    }();
    return all;
}

QString phraseWords(int language, const QString &english, int depth)
{
    const auto &all = patterns();
    for (std::size_t i = 0; i < all.size(); ++i) {
        const QRegularExpressionMatch m = all[i].english.match(english);
        if (!m.hasMatch())
            continue;
        QString out = QString::fromUtf8(kPhrases[i].text[language]);
        // The arguments are numbers and hex digits, or phrases of their own (an exception's
        // name); substituted in one pass, so that an argument's own "%1" stays as it is.
        QStringList args(int(all[i].args.size()) + 1);
        for (std::size_t a = 0; a < all[i].args.size(); ++a)
            args[all[i].args[a]] =
                depth < 2 ? phraseWords(language, m.captured(int(a) + 1), depth + 1) : m.captured(int(a) + 1);
        QString result;
        for (qsizetype c = 0; c < out.size(); ++c) {
            if (out[c] == QLatin1Char('%') && c + 1 < out.size() && out[c + 1].isDigit()) {
                const int n = out[c + 1].digitValue();
                result += n < args.size() ? args[n] : QString();
                ++c;
            } else {
                result += out[c];
            }
        }
        return result;
    }
    return english;
}

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

QString outcomeWord(int language, Outcome outcome)
{
    const int row = static_cast<int>(outcome);
    if (row < 0 || row >= kOutcomeCount)
        return outcomeName(outcome);
    if (language < 0 || language >= kLanguageCount)
        language = English;
    return QString::fromUtf8(kOutcomeWords[row].text[language]);
}

QString trafficWords(int language, const QString &english)
{
    if (language <= English || language >= kLanguageCount || english.isEmpty())
        return english;
    // The rows on screen are painted again and again, and a card loop says the same few
    // things: what was said before is looked up, not matched again.
    static QHash<QString, QString> said[kLanguageCount];
    QHash<QString, QString> &cache = said[language];
    if (const auto known = cache.constFind(english); known != cache.constEnd())
        return *known;
    const QStringList parts = english.split(QStringLiteral("; "));
    QStringList shown;
    shown.reserve(parts.size());
    for (const QString &part : parts)
        shown << phraseWords(language, part, 0);
    if (cache.size() >= 4096)
        cache.clear();
    return *cache.insert(english, shown.join(QStringLiteral("; ")));
}

} // namespace relvix
