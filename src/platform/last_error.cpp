#include "platform/last_error.h"

namespace {
thread_local int t_lastError = 0;
}  // namespace

int GetLastErrorCode() {
    return t_lastError;
}

void SetLastErrorCode(int code) {
    t_lastError = code;
}
