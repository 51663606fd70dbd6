// Name translation of engine entry points: "_CALL_PPFLASH@116" -> "CALL_PPFLASH".
#include <string>

#include "propcore/abi.h"

extern "C" const char* cf_DllFcn(const char* decorated) {
    thread_local std::string name;
    name = decorated ? decorated : "";
    if (!name.empty() && name.front() == '_') name.erase(0, 1);
    if (const auto at = name.rfind('@'); at != std::string::npos) name.erase(at);
    return name.c_str();
}
