// platform/console_text.cpp: printConsole's formatting, the same on every platform.
#include "platform/console_text.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

void printConsole(ConsoleStream stream, const char* format, ...) {
    char text[kConsoleTextSize];
    std::va_list arguments;
    va_start(arguments, format);
    std::va_list again;
    va_copy(again, arguments);
    int length = std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    if (length < 0) {
        va_end(again);
        return;
    }
    std::size_t size = static_cast<std::size_t>(length) + 1;
    char* longText = size > sizeof text ? static_cast<char*>(std::malloc(size)) : nullptr;
    if (longText != nullptr) {
        (void)std::vsnprintf(longText, size, format, again);  // the same text, now with room
        emitConsoleText(stream, longText, size - 1);
        std::free(longText);
    } else {
        // Without memory for a long text, its start is still worth showing.
        emitConsoleText(stream, text, size > sizeof text ? sizeof text - 1 : size - 1);
    }
    va_end(again);
}
