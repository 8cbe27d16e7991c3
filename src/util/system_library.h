// A function of a system library loaded the first time it is needed. The libraries a session
// rarely uses (picture decoding, sounds, signature checks) cost every start a tenth of a
// second under Wine when they are imported. Any thread.
#pragma once
#include <windows.h>

namespace mv {

// The address of `name` in `dll` from the system directory (never from the search path, so
// no file beside the program is loaded in its place); null, with the error set, when either
// is missing. The library stays loaded.
FARPROC SystemFunction(const wchar_t* dll, const char* name);

template <typename F>
F SystemFunctionAs(const wchar_t* dll, const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(SystemFunction(dll, name)));
}

}  // namespace mv
