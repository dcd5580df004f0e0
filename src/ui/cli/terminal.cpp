// The log on standard output. On a terminal the screen ends with
//
//   <the log line being written, if it has no line end yet>
//   <the status line>                                      (cursor here)
//
// and a redraw clears those rows, prints the lines logged since, the open
// line again and the new status line. Between redraws the log is kept in a
// buffer of a fixed size; a full buffer is written out at once.
#include "ui/cli/terminal.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "ui/posix/front_end.h"

namespace {

LogView view = LogView::Lines;

// The text logged and not yet drawn for good: the open line drawn last time
// (if any), then what came since.
constexpr size_t kWaitingBytes = 64 * 1024;
char waiting[kWaitingBytes];
size_t waitingLength = 0;
size_t openRows = 0; // rows the open line took on the screen; 0: none drawn
bool statusDrawn = false;

char lastLine[1100];
char currentLine[1100]; // the line being logged, for lastLine
size_t currentLength = 0;

void write(const char* text, size_t length) { frontEndWriteLog(text, length); }
void write(const char* text) { write(text, std::strlen(text)); }

int terminalWidth() {
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 1) return size.ws_col;
    return 80;
}

void noteLine(const char* text, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        const char c = text[i];
        if (c == '\r') continue;
        if (c == '\n') {
            if (currentLength > 0) {
                std::memcpy(lastLine, currentLine, currentLength);
                lastLine[currentLength] = '\0';
            }
            currentLength = 0;
        } else if (currentLength + 1 < sizeof currentLine) {
            currentLine[currentLength++] = c;
        }
    }
}

// Log text with "\n" line ends: every "\r" is left out.
void writeLines(const char* text, size_t length) {
    size_t start = 0;
    for (size_t i = 0; i <= length; ++i) {
        if (i < length && text[i] != '\r') continue;
        if (i > start) write(text + start, i - start);
        start = i + 1;
    }
}

void draw(const char* status, bool last) {
    char clear[32] = "";
    if (statusDrawn) {
        if (openRows > 0) std::snprintf(clear, sizeof clear, "\r\033[K\033[%zuA\r\033[J", openRows);
        else std::snprintf(clear, sizeof clear, "\r\033[K");
    }
    write(clear);
    writeLines(waiting, waitingLength);

    // Keep the open line: it is drawn again, longer, next time.
    const char* end = static_cast<const char*>(memrchr(waiting, '\n', waitingLength));
    const size_t open = end == nullptr ? waitingLength : waitingLength - size_t(end + 1 - waiting);
    std::memmove(waiting, waiting + waitingLength - open, open);
    waitingLength = open;
    const size_t width = size_t(terminalWidth());
    openRows = 0;
    if (open > 0) {
        write("\n");
        openRows = (open + width - 1) / width;
    }
    char line[512];
    std::snprintf(line, sizeof line, "%s", status);
    if (std::strlen(line) > width - 1) line[width - 1] = '\0';
    write(line);
    statusDrawn = true;
    if (last) {
        write("\n");
        statusDrawn = false;
    }
}

void onLog(const char* text) {
    const size_t length = std::strlen(text);
    noteLine(text, length);
    if (view == LogView::Lines) writeLines(text, length);
    if (view != LogView::Terminal) return;
    if (waitingLength + length > kWaitingBytes) draw("", false); // a flood: out with it now
    const size_t taken = length < kWaitingBytes - waitingLength ? length : kWaitingBytes - waitingLength;
    std::memcpy(waiting + waitingLength, text, taken);
    waitingLength += taken;
}

} // namespace

void terminalStart(LogView v) {
    view = v;
    frontEndLogSink(onLog);
}

void terminalRedraw(const char* status) {
    if (view == LogView::Terminal) draw(status, false);
}

void terminalEnd(const char* status) {
    if (view == LogView::Terminal) draw(status, true);
}

const char* terminalLastLine() {
    if (currentLength > 0) {
        std::memcpy(lastLine, currentLine, currentLength);
        lastLine[currentLength] = '\0';
    }
    return lastLine;
}
