#include "support/guest_call.h"

#include <string>

const char *changed_registers(const GuestCallRegs &before, const GuestCallRegs &after) {
    static thread_local std::string text;
    static const char *const names[] = {"eax", "ebx", "ecx", "edx", "esi", "edi", "ebp"};
    const uint32_t *a = &before.eax;
    const uint32_t *b = &after.eax;
    text.clear();
    for (int i = 0; i < 7; i++) {
        if (a[i] != b[i]) {
            text += text.empty() ? "" : " ";
            text += names[i];
        }
    }
    return text.c_str();
}
