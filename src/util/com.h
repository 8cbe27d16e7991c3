// COM initialisation of the calling thread.
#pragma once

namespace mv {

// Initialises COM (apartment-threaded) for the current scope; balanced on destruction.
// A thread already in the multithreaded apartment keeps it and may use MSXML as it is.
class ComInit {
public:
    ComInit();
    ~ComInit();
    ComInit(const ComInit&) = delete;
    ComInit& operator=(const ComInit&) = delete;
    bool ok() const { return ok_; }

private:
    bool ok_ = false;
    bool balance_ = false;
};

}  // namespace mv
