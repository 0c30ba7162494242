// Command line: options into settings, their validation, and the settings
// summary printed before the run starts.
#pragma once

#include <cstddef>
#include <string>

#include "app/settings.h"

// What parsing asks main to do next.
enum class ParseAction {
    Continue,     // go on to validation
    ShowHelp,     // -h met: print the help, exit 0
    ShowVersion,  // -v met: print the banner again, exit 0
};

struct ParsedOptions {
    ParseAction action = ParseAction::Continue;
    // The first option value that was refused (non-numeric, negative, out of
    // range), as a ready message; empty when every value was accepted. A later
    // valid occurrence of the same option clears its refusal.
    std::string valueError;
    // Frame log and replay (long options only).
    std::string logPath;       // --log FILE ("-": standard output)
    std::string logFormat;     // --log-format candump|pcapng; empty: by name
    uint32_t logSizeMb = 0;    // --log-size MB; 0: one file
    std::string replayPath;    // --replay FILE
    std::string replayIf;      // --replay-if NAME; empty: every interface
    bool periodGiven = false;  // -p was given (replay: otherwise the recorded pace)
};

// Parses argv with getopt_long into ast, tx and messageText (kMessageTextSize
// bytes). Unknown options are reported by getopt_long and skipped; -h and -v
// stop parsing where they stand. Safe to call more than once per process.
ParsedOptions parseOptions(int argc, char* argv[], CanAst& ast, TaskTxConfig& tx,
                           char* messageText);

// Checks the parsed settings in order and prints the first failure through the
// console log. Returns -1 when the run may go on (and sets ast.fdMode when a
// data rate was given), otherwise the exit status to end with.
int validateSettings(const ParsedOptions& parsed, CanAst& ast, const TaskTxConfig& tx,
                     const char* messageText);

// The line shown instead of the send settings when a log is replayed.
void formatReplaySummary(const ParsedOptions& parsed, const TaskTxConfig& tx, char* line,
                         size_t size);

// Builds the settings summary: line1 always, line2 in send mode only (empty
// otherwise). Each buffer holds `size` bytes.
void formatSettingSummary(const CanAst& ast, const TaskTxConfig& tx, char* line1, char* line2,
                          size_t size);

// Prints the settings summary of the global settings through log_info.
void devSettingPrint();
