#include <cstring>
#include <string>

#include "core/log.h"
#include "doubles/fakes.h"

namespace {

std::string fmt(const char* format, ...) {
    char out[kLogBufferSize];
    va_list args;
    va_start(args, format);
    formatLog(out, sizeof out, format, args);
    va_end(args);
    return out;
}

TEST(FormatLog, IntegersAndStringsAsTheProgramUsesThem) {
    EXPECT_EQ(fmt("Binding socket to %s:%i ...", "10.0.0.1", 3975),
              "Binding socket to 10.0.0.1:3975 ...");
    EXPECT_EQ(fmt("(error #%i)", -1), "(error #-1)");
    EXPECT_EQ(fmt("%i", int(0x80000000u)), "-2147483648");
    EXPECT_EQ(fmt("%u", 4294967295u), "4294967295");
    EXPECT_EQ(fmt("%s", static_cast<const char*>(nullptr)), "(null)");
    EXPECT_EQ(fmt("100%% %q"), "100% q");
    EXPECT_EQ(fmt("[%5i|%-4i|%05i|%x|%#X]", 42, 7, -3, 255, 255), "[   42|7   |-0003|ff|0XFF]");
}

TEST(FormatLog, CutsAt1023Characters) {
    std::string big(3000, 'a');
    std::string out = fmt("%s%s", big.c_str(), "tail");
    EXPECT_EQ(out.size(), 1023u);
    EXPECT_EQ(out, big.substr(0, 1023));
}

TEST_F(LinkTest, LogPrintfOnTheWindowThreadAppendsWithoutLineEnd) {
    logPrintf("Listening for connection ...");
    logPrintf("connected!\r\n");
    EXPECT_EQ(fakeWindow.log, "Listening for connection ...connected!\r\n");
}

} // namespace
