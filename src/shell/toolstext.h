#pragma once
#include <QString>

namespace relvix {

// The texts of the window's tools (the Tools menu, the traffic monitor and its card
// history, Find readers) in the three languages, kept apart from the window's own 64-row table. What the
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
    FinderTitle,
    LinkGroup,
    SerialChoice, // %1: the main window's port
    TcpChoice,    // %1: the main window's address, %2: its port
    ModesGroup,
    AddressesLabel,
    AddressesTo,
    ScanTimeoutLabel,
    AutomaticTimeout, // the time-out field at 0
    Start,
    CancelScan,
    Use,
    ExportCsv,
    ModeColumn,
    AddressColumn,
    SerialNumberColumn,
    VersionColumn,
    ResponseColumn,
    NoteColumn,
    LateNote,
    NoIdentityNote,
    ScanningStatus, // %1: mode, %2: address, %3: asked so far, %4: all
    FoundStatus,    // %1: readers found, %2: addresses asked, %3: all
    CancelledStatus,
    OpenFailedStatus, // %1: the port or peer and mode, %2: why
    LinkLostStatus,   // %1: why
    BusyStatus,
    NoModesStatus,
    EmptyRangeStatus,
    UsedStatus, // %1: address, %2: the link
    Count
};

constexpr int kToolTextCount = static_cast<int>(ToolText::Count);

// The text in a language (0 English, 1 Simplified, 2 Traditional); English for another language.
QString toolText(int language, ToolText id);

} // namespace relvix
