#pragma once
// The readable text of an FFmpeg error code, for our error messages.

#include <string>

extern "C" {
#include <libavutil/error.h>
}

namespace platform {

inline std::string avErrorText(int code) {
    char buf[AV_ERROR_MAX_STRING_SIZE] = {0};
    av_strerror(code, buf, sizeof buf);
    return buf;
}

}  // namespace platform
