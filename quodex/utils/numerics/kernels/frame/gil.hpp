// Releases the interpreter lock for the lifetime of the scope. Validate everything before entering.
#pragma once

#include "python.hpp"

namespace quodex {

class GilRelease {
public:
    GilRelease() noexcept : state_(PyEval_SaveThread()) {}
    ~GilRelease() { PyEval_RestoreThread(state_); }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

private:
    PyThreadState* state_;
};

}  // namespace quodex
