#include <errno.h>

#include <cstring>
#include <string>

#include "platform/posix/Handles.h"

namespace veltor {
namespace platform {

namespace posix {
thread_local std::string t_Failure;
}  // namespace posix

std::string LastError() {
    if (!posix::t_Failure.empty()) {
        return posix::t_Failure;
    }
    return std::strerror(errno);
}

void SetFailure(const std::string& text) {
    posix::t_Failure = text;
}

void ClearFailure() {
    posix::t_Failure.clear();
}

}  // namespace platform
}  // namespace veltor
