// Formatting with the rules of the Windows wvsprintfA: flags '-', '0', '#',
// a width and a precision, the types c, d, i, u, x, X and s, an optional 'h' or
// 'l' size prefix, "(null)" for a null string; a '%' before any other character
// stands for that character. The output stops at size-1 characters.
#include <cstdint>
#include <cstring>

#include "core/log.h"

namespace {

struct Out {
    char* p;
    size_t left; // room for characters, the terminating zero excluded
    size_t n;
    void put(char c) {
        if (left == 0) return;
        p[n++] = c;
        --left;
    }
    void fill(char c, int count) {
        while (count-- > 0) put(c);
    }
};

int parseNumber(const char*& f) {
    int v = 0;
    while (*f >= '0' && *f <= '9') v = v * 10 + (*f++ - '0');
    return v;
}

} // namespace

int formatLog(char* out, size_t size, const char* format, va_list args) {
    if (size == 0) return 0;
    Out o{out, size - 1, 0};
    for (const char* f = format; *f != '\0'; ++f) {
        if (*f != '%') {
            o.put(*f);
            continue;
        }
        ++f;
        bool left = false, zero = false, alt = false;
        for (;; ++f) {
            if (*f == '-') left = true;
            else if (*f == '0') zero = true;
            else if (*f == '#') alt = true;
            else break;
        }
        int width = parseNumber(f);
        int precision = -1;
        if (*f == '.') {
            ++f;
            precision = parseNumber(f);
        }
        if (*f == 'h' || *f == 'l') ++f;
        if (*f == '\0') break;

        char digits[16];
        int len = 0;
        const char* text = digits;
        char sign = 0;
        const char* prefix = "";
        switch (*f) {
        case 'c':
            digits[0] = char(va_arg(args, int));
            len = 1;
            break;
        case 's': {
            text = va_arg(args, const char*);
            if (text == nullptr) text = "(null)";
            size_t l = std::strlen(text);
            if (precision >= 0 && l > size_t(precision)) l = size_t(precision);
            len = int(l);
            break;
        }
        case 'd':
        case 'i':
        case 'u':
        case 'x':
        case 'X': {
            uint32_t v = va_arg(args, uint32_t);
            unsigned base = (*f == 'x' || *f == 'X') ? 16 : 10;
            if ((*f == 'd' || *f == 'i') && int32_t(v) < 0) {
                sign = '-';
                v = 0u - v;
            }
            const char* set = *f == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
            char rev[16];
            int r = 0;
            do {
                rev[r++] = set[v % base];
                v /= base;
            } while (v != 0);
            while (r > 0) digits[len++] = rev[--r];
            if (alt && base == 16) prefix = *f == 'X' ? "0X" : "0x";
            break;
        }
        default:
            o.put(*f);
            continue;
        }
        int pad = 0; // zeros demanded by the precision of a number
        if (*f != 's' && *f != 'c' && precision > len) pad = precision - len;
        int body = len + pad + (sign ? 1 : 0) + int(std::strlen(prefix));
        int spaces = width > body ? width - body : 0;
        if (!left && !zero) o.fill(' ', spaces);
        if (sign) o.put(sign);
        for (const char* p = prefix; *p; ++p) o.put(*p);
        if (!left && zero) o.fill('0', spaces);
        o.fill('0', pad);
        for (int i = 0; i < len; ++i) o.put(text[i]);
        if (left) o.fill(' ', spaces);
    }
    out[o.n] = '\0';
    return int(o.n);
}
