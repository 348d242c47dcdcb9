// Text on the process's standard output and error, for a GUI program as well.
#pragma once

#include <windows.h>

#include <string>

// A program of the GUI subsystem gets no console, and its C runtime streams may not be
// set up; but when it is started with its output redirected to a file or a pipe (from a
// shell, a script, or Wine run from a terminal) the standard handles are there. These
// write through those handles directly: UTF-8 to a file or a pipe, wide text to a
// console. Nothing is buffered, so a line is there for a reader as soon as the call
// returns; writes from several threads never interleave within one call.
// stream is STD_OUTPUT_HANDLE or STD_ERROR_HANDLE.

// Whether the process has this standard stream.
bool HasStdStream(DWORD stream);

// Writes text whole to the stream; false when there is no such stream or it fails.
bool WriteStdStream(DWORD stream, const std::wstring& text);
