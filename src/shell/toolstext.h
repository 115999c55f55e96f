#pragma once
#include "link/frameevent.h"

#include <QString>

namespace relvix {

// The texts of the window's tools (the Tools menu, the traffic monitor and its card
// history, Find readers) in the three languages, kept apart from the window's own 64-row table.
// What the tools save (directions, frame meanings, the files' columns) stays English in every
// language, as the command line's log does, for programs and for support to read; what they
// show follows the language, outcome words and frame meanings included (trafficWords).
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
    LineCount,   // %1: the number of lines
    DroppedNote, // %1: lines the cap dropped, beside the count
    PausedNote,  // %1: lines recorded since the pause, beside the count
    RowCount,    // %1: the number of cards and codes
    SaveFailed,  // %1: the file
    TextFiles,   // a file dialog's filter
    CsvFiles,    // a file dialog's filter
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
    Resume,
    DeltaColumn,
    ResponseMsColumn,
    FilterSlave,
    FilterFunction,
    FilterAll,   // a filter's "any" value
    SearchHint,  // the search field's placeholder
    Copy,        // the view's context menu
    SelectAll,   // the view's context menu
    LogToFile,   // checkable: pressed while logging
    LoggingNote, // %1: the file being written
    LogFailed,   // %1: the file
    ErrorsNote,  // %1: "slave: count" pairs
    NoErrorsNote,
    DroppedLine, // a saved file's first line: %1 lines dropped, %2 the cap
    LinkColumn,
    WidePreset,   // ticks every mode of the wide preset
    UsualPreset,  // back to the usual modes and the window's own
    TimeLeftNote, // %1: seconds
    HitsNote,     // %1: answers counted, beside the readers
    LateHint,     // %1 readers, %2 the time-out, %3 slowest answer, %4 the suggested time-out
    Count
};

constexpr int kToolTextCount = static_cast<int>(ToolText::Count);

// The text in a language (0 English, 1 Simplified, 2 Traditional); English for another language.
QString toolText(int language, ToolText id);

// What the traffic log shows in a language: the words of the link's outcomes, and what the
// reader's frame meanings and the link's details say ("read card block", "silence over 60
// ms", "exception 02 illegal data address"), part by part ("; " apart). One table holds
// every phrase in the three languages; a phrase it does not hold stays as it came, and
// English gives the text unchanged.
QString outcomeWord(int language, Outcome outcome);
QString trafficWords(int language, const QString &english);

} // namespace relvix
