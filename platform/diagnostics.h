// Why the wrapper did what it did, for whoever asks. The programs print
// nothing; with the environment variable LULLRUN_DEBUG set to anything
// non-empty, each decision (the route tried, why it was refused, what was set
// on the child and with what result) is written as one line: on Linux to
// standard error, which the child shares, so each line begins with the
// program's name and process id; on Windows through OutputDebugString, which
// debuggers and DebugView show. No operating-system header here.
#pragma once

namespace lull::platform {

// Whether LULLRUN_DEBUG asks for the lines.
bool diagnostics_wanted();

// Writes one line, printf-style, when they are asked for; nothing otherwise.
// It neither allocates nor keeps state, so the Linux child may call it
// between fork and exec.
void diagnose(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Writes one line of fixed text when `wanted` (diagnostics_wanted(), asked
// beforehand): on Linux with nothing but write(), so that a child forked from
// a process with several threads, which may neither allocate nor format, can
// say what it did.
void diagnose_fixed(bool wanted, const char* text);

}  // namespace lull::platform
