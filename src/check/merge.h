// The main list merged into a downloaded list, and the comparison that fills the download list.
#pragma once
#include <functional>
#include <string>
#include <string_view>

#include "updatelist/download_list.h"

// Asks the checksum service for a file path; returns the reply text (empty on failure).
using ChecksumQuery = std::function<std::wstring(const std::wstring& path)>;

// Moves the leaf entries of the main list's top-level "update" element, last to first, to the
// end of the list's "update" element: "{zrdir}" in desname and "{agentName}" in path are
// filled from the settings, and an entry whose path held "{agentName}" gets the service's
// checksum as ver (a fresh random one when the reply is not usable). True when both documents
// had the element; `listBytes` then holds the merged list (untouched on failure).
// Thread: initialises COM itself.
bool MergeMainList(std::string& listBytes, std::string_view mainBytes);
bool MergeMainListWith(std::string& listBytes, std::string_view mainBytes, const ChecksumQuery& query);
// The service's answer for one path: [UPDATEINFO] FileMd5HandleUrl + "?FileUrl=" + the
// escaped path, at most kMaxChecksumReplyBytes, within `seconds`.
std::wstring QueryChecksumService(const std::wstring& path, long seconds);

// Compares the remote records with the installed ones ([Mirovane] CheckLostFile decides the
// disk test) and appends the records to update to the download list; refused records are
// logged one by one; returns how many.
int CompareLists(const RecordArray& remote, const RecordArray& installed, bool checkLostFiles, DownLoadList& list);
