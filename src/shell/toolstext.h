#pragma once
#include <QString>

namespace relvix {

// The texts of the window's tools (the Tools menu, the traffic monitor and its card
// history) in the three languages, kept apart from the window's own 64-row table. What the
// tools log or save (directions, frame meanings, the files' columns) stays the same in every
// language, as the frame fields and the S/N and VER panels do.
enum class ToolText : int {
    ToolsMenu,
    TrafficMonitorItem,
    FindReadersItem,
    MonitorTitle,
    TrafficTab,
    CardsTab,
    Pause,
    Clear,
    SaveText,
    SaveCsv,
    TimeColumn,
    DirectionColumn,
    SlaveColumn,
    FunctionColumn,
    BytesColumn,
    MeaningColumn,
    KindColumn,
    ReadColumn,
    FormatColumn,
    CardKind,
    KeypadKind,
    LineCount,  // %1: the number of lines
    PausedNote, // shown beside the count while paused
    RowCount,   // %1: the number of cards and codes
    SaveFailed, // %1: the file
    TextFiles,  // a file dialog's filter
    CsvFiles,   // a file dialog's filter
    Count
};

constexpr int kToolTextCount = static_cast<int>(ToolText::Count);

// The text in a language (0 English, 1 Simplified, 2 Traditional); English for another language.
QString toolText(int language, ToolText id);

} // namespace relvix
