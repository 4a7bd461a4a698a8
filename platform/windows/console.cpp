// platform/windows/console.cpp: the console streams on Windows.
#include "platform/platform.h"

#include <winsock2.h>

#include <windows.h>

#include "platform/console_text.h"

// ---------------------------------------------------------------------------------------------
// Console.

// Text goes out in pieces of at most this size after its line ends are widened.
static constexpr std::size_t kConsolePieceSize = 1024;

static void writeWholePiece(HANDLE handle, const char* data, std::size_t length) {
    while (length > 0) {
        DWORD written = 0;
        if (!WriteFile(handle, data, static_cast<DWORD>(length), &written, nullptr) ||
            written == 0) {
            return;  // the rest is lost, as with printf
        }
        data += written;
        length -= written;
    }
}

// Writes all of text unless the console fails. Written past the runtime, whose stream locks a
// thread blocked on the console would hold, so every "\n" becomes CR LF here as the runtime's
// text mode would make it.
static void writeWholeText(ConsoleStream stream, const char* text, std::size_t length) {
    HANDLE handle =
        GetStdHandle(stream == ConsoleStream::kOutput ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        return;  // no console: started without one
    }
    char piece[kConsolePieceSize];
    std::size_t used = 0;
    for (std::size_t i = 0; i < length; i++) {
        if (used + 2 > sizeof piece) {
            writeWholePiece(handle, piece, used);
            used = 0;
        }
        if (text[i] == '\n') {
            piece[used++] = '\r';
        }
        piece[used++] = text[i];
    }
    writeWholePiece(handle, piece, used);
}

void emitConsoleText(ConsoleStream stream, const char* text, std::size_t length) {
    writeWholeText(stream, text, length);
}
