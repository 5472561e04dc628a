// zelkorstat's reading of a status file: any bytes at all must give a verdict, never a crash.

#include <cstddef>
#include <cstdint>
#include <string>

#include "stat/StatusReport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    StatusFileContent content;
    std::string problem;
    if (!ParseStatusFile(text, content, problem)) return 0;
    for (const bool running : {true, false}) {
        const Verdict verdict = Judge(content, 1.7e9, running);
        (void)RenderText(&content, verdict, 1.7e9);
        (void)RenderJson(&content, verdict);
    }
    return 0;
}
