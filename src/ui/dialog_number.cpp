#include "ui/dialog_number.h"

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

} // namespace

int parseDialogNumber(const char* text, bool isSigned, uint32_t* value) {
    *value = 0;
    if (text == nullptr) return 0;
    const char* p = text;
    while (isBlank(*p)) ++p;

    bool negative = false;
    if (isSigned && (*p == '-' || *p == '+')) {
        negative = *p == '-';
        ++p;
    }

    // The largest magnitude the result may take.
    const uint64_t limit = !isSigned ? 0xFFFFFFFFull : negative ? 0x80000000ull : 0x7FFFFFFFull;
    uint64_t magnitude = 0;
    int digits = 0;
    while (*p >= '0' && *p <= '9') {
        magnitude = magnitude * 10 + uint64_t(*p - '0');
        if (magnitude > limit) return 0;
        ++digits;
        ++p;
    }
    if (digits == 0) return 0;

    while (isBlank(*p)) ++p;
    if (*p != '\0') return 0;

    uint32_t bits = uint32_t(magnitude);
    *value = negative ? uint32_t(0u - bits) : bits;
    return 1;
}
