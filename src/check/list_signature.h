// Signed update lists: with [UPDATEINFO] ListKey set, every list document is verified against
// its detached ".sig" before anything parses it, a signed list must be fresh and of this
// product, and every file record must name the SHA-256 of its file. Without ListKey nothing
// here changes what the check does. Any thread; COM must be initialised for the readers.
#pragma once
#include <string>
#include <string_view>

#include "download/fetch.h"
#include "package/package.h"
#include "util/crypto.h"
#include "updatelist/download_list.h"

// True when [UPDATEINFO] ListKey is set: lists and files must then be verified.
bool ListSigningRequired();

// Fetches the signature of `url` (SignatureUrlOf) and checks it over the bytes of the list
// (for a zipped list, the list inside) signed in `role` (mv::SignedListMessage). True when it
// matches, or when no key is set. On a refusal logs one line naming the list and why. Only
// these bytes are used afterwards: a file another process could write is never read again
// once verified.
// `signature` (when given) receives the signature that verified.
bool VerifyListBytes(const std::wstring& url, mv::ListRole role, std::string_view bytes, Deadline deadline,
                     std::string* signature = nullptr);
// The same check against a signature already at hand (a saved list's); no request.
bool VerifySavedListBytes(const SignedSource& source);

// With a key: the lists an update package carries against the signatures packed beside them,
// each in its role, as a fetched list is checked (one log line each). True without a key.
bool VerifyPackageLists(const AppendedPackage& package);

// Reads sequence, expires and guid of a (verified) update list and decides whether it may be
// used ([UPDATEINFO] ListGuid, the installed sequence, the clock). Logs one line when refused.
// The accepted sequence goes into the download list's properties, for the finish step.
bool AcceptSignedList(std::string_view bytes, DownLoadList& list);
// The same rules for a (verified) main list, which could otherwise bring an older release's
// tasks and files back. True without a key.
bool AcceptSignedMainList(const std::wstring& url, std::string_view bytes);

// Drops the file records whose sha256 makes them unusable (FileHashProblem), one log line
// each; returns how many.
int RefuseUnhashedRecords(DownLoadList& list);

// The highest sequence installed in the application directory: the stored one
// ("mirovane.sequence") or the installed list's ("mirovane.xml"), whichever is higher; 0
// when neither has one.
long long InstalledListSequence();
// After a successful install: stores the sequence of the installed list when it is higher
// than the stored one. Does nothing for a list without a sequence.
void StoreInstalledListSequence(const DownLoadList& list);
