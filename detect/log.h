// The program's log: one line per step on standard output.
#pragma once

// Writes one printf-formatted line followed by a line feed, and flushes it so that
// the log keeps its order with anything else written to the terminal. Without a
// standard output the line is simply lost.
void LogLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
