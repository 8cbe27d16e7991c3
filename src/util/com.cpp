#include "util/com.h"

#include <windows.h>
#include <objbase.h>

namespace mv {

ComInit::ComInit() {
    HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    balance_ = SUCCEEDED(hr);                 // S_OK and S_FALSE both need CoUninitialize
    ok_ = balance_ || hr == RPC_E_CHANGED_MODE;  // already multithreaded: usable as it is
}
ComInit::~ComInit() {
    if (balance_) CoUninitialize();
}

}  // namespace mv
