// Usage on request: `mirovane.exe /?` or `--help` prints the usage text where the person who
// started it can read it, and nothing else happens (no box, no folder, no network, no file).
#pragma once
#include <string>

// Writes `text` to the standard output when it is a file or a pipe (a redirected run), else
// to the console of the parent process (AttachConsole). False when there is neither: a
// program started from the desktop has no console to write to, and no box is shown instead.
bool WriteToParentConsole(const std::wstring& text);
