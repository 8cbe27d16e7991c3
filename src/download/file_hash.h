// The SHA-256 a file record names, checked on the downloaded file before it can be installed.
#pragma once
#include <string>

#include "updatelist/download_list.h"

// True when the record names no sha256, or when the file at `path` has it (any case). A
// mismatch or an unreadable file logs one line naming the record and is false.
bool DownloadedFileMatchesHash(const updatefileinfo& record, const std::wstring& path);
