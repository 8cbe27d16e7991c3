// The update list: an XML document naming the files of a release, description texts and
// tasks to run. The reader turns a document into records (download_list.h).
#pragma once
#include <windows.h>

#include <string>

#include "updatelist/download_list.h"

// Action text of a file element -> action flags: the leading decimal digits, plus ActionRun
// for "run" or "exe", ActionRemove for "del", ActionRegister for "reg", ActionReboot for
// "boot" (case-insensitive). The bits of the record markers never come from a text.
int ParseActionFlags(const std::wstring& action);


// A task to run after the update, as a run element gives it.
struct RunTask {
    std::wstring path, param, wait, key;
};
// Packs a task into one text: path 9 param 9 wait 9 key (the digit nine as separator).
// When a value itself holds a nine that text could not be split again, so the task is then
// packed as U+0001 path U+0001 param U+0001 wait U+0001 key instead; U+0001 cannot occur in
// an XML 1.0 document, so neither form is mistaken for the other.
std::wstring PackRunTask(const RunTask& task);
// Splits a packed task again (either form). A nine-separated text with more than four parts
// keeps the surplus in the key.
RunTask UnpackRunTask(const std::wstring& packed);

// Values read from the root of a remote list.
struct UpdateListValues {
    bool hasGuid = false;
    std::wstring guid;
    bool hasFileUrl = false;
    std::wstring fileUrl;
};

enum class ListRead {
    Ok,
    NotAList,  // missing file, malformed XML, unsafe document, or none of the three roots
    DomError,  // a DOM operation failed while the document was read
};

// Reads a list file into the array (all records or none). The list-wide values are filled
// only with the remote flag. A guid element of the root is removed from the file on disk.
// Thread: COM must be initialised on the calling thread.
ListRead ReadUpdateList(const std::wstring& path, RecordArray& records, bool remote, UpdateListValues& values);
// The same from the bytes of a list (`path` only names it in log lines); a guid element of
// the root is removed from the bytes.
ListRead ReadUpdateListBytes(std::string& bytes, const std::wstring& path, RecordArray& records, bool remote,
                             UpdateListValues& values);

// The text of the message box shown when reading a list hit a DOM error, or empty when no box
// is shown (an installed list that does not exist).
std::wstring ListErrorBoxText(const std::wstring& path, bool remote);

// Reads a list file and appends its records to the array; for the remote list, its guid and
// file address pattern go to `listValues` when given. Shows a message box on DOM errors.
// Returns false when the document cannot be read or is not a list; the array is then unchanged.
bool LoadUpdateList(const std::wstring& path, RecordArray& records, bool remote, DownLoadList* listValues = nullptr);
// The remote list from the bytes that were fetched and verified, in the same way; its
// values go to `list`, and the bytes lose the root's guid.
bool LoadRemoteListBytes(std::string& bytes, const std::wstring& name, RecordArray& records, DownLoadList& list);
