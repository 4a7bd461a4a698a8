// platform/windows/console.cpp: the console streams on Windows, the console thread that writes
// their queue out, and the end on Ctrl-C, Ctrl-Break and a closed console window.
#include "platform/platform.h"

#include <winsock2.h>

#include <windows.h>

#include <cerrno>
#include <cstring>

#include "platform/console_text.h"
#include "platform/windows/internal.h"

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

// A console reads the bytes of WriteFile in its own code page, so the UTF-8 text goes to it
// as UTF-16. A byte that is no UTF-8 (a client's, echoed) shows as U+FFFD.
static void writeConsolePiece(HANDLE handle, const char* data, std::size_t length) {
    wchar_t wide[kConsolePieceSize];
    int units = MultiByteToWideChar(CP_UTF8, 0, data, static_cast<int>(length), wide,
                                    static_cast<int>(kConsolePieceSize));
    const wchar_t* rest = wide;
    while (units > 0) {
        DWORD written = 0;
        if (!WriteConsoleW(handle, rest, static_cast<DWORD>(units), &written, nullptr) ||
            written == 0) {
            return;  // the rest is lost, as with printf
        }
        rest += written;
        units -= static_cast<int>(written);
    }
}

static void writePiece(HANDLE handle, bool isConsole, const char* data, std::size_t length) {
    if (isConsole) {
        writeConsolePiece(handle, data, length);
    } else {
        writeWholePiece(handle, data, length);
    }
}

// The length of text without the unfinished UTF-8 character at its end, if any.
static std::size_t wholeCharacters(const char* text, std::size_t length) {
    std::size_t start = length;
    while (start > 0 && length - start < 3 &&
           (static_cast<unsigned char>(text[start - 1]) & 0xC0) == 0x80) {
        start--;
    }
    if (start == 0) {
        return length;
    }
    unsigned char lead = static_cast<unsigned char>(text[start - 1]);
    std::size_t needed = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    return length - (start - 1) < needed ? start - 1 : length;
}

// The start of a character that a text for the console ended in, per stream, put before the
// stream's next text: the queue hands out a text in two pieces where its ring wraps. Each
// thread that writes keeps its own.
static thread_local char unfinishedBytes[kConsoleStreamCount][4];
static thread_local std::size_t unfinishedCount[kConsoleStreamCount];

// Writes all of text unless the console fails. Written past the runtime, whose stream locks a
// thread blocked on the console would hold, so every "\n" becomes CR LF here as the runtime's
// text mode would make it. Files and pipes take the UTF-8 bytes as they are.
void writeWholeText(ConsoleStream stream, const char* text, std::size_t length) {
    HANDLE handle =
        GetStdHandle(stream == ConsoleStream::kOutput ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        return;  // no console: started without one
    }
    DWORD mode = 0;
    bool isConsole = GetConsoleMode(handle, &mode) != 0;
    char piece[kConsolePieceSize];
    std::size_t used = 0;
    if (isConsole) {
        int index = consoleStreamIndex(stream);
        used = unfinishedCount[index];
        std::memcpy(piece, unfinishedBytes[index], used);
        std::size_t whole = wholeCharacters(text, length);
        unfinishedCount[index] = length - whole;
        std::memcpy(unfinishedBytes[index], text + whole, length - whole);
        length = whole;
    }
    for (std::size_t i = 0; i < length; i++) {
        if (used + 2 > sizeof piece) {
            // A piece for the console ends with a whole character, so that each converts.
            std::size_t whole = isConsole ? wholeCharacters(piece, used) : used;
            writePiece(handle, isConsole, piece, whole);
            std::memmove(piece, piece + whole, used - whole);
            used -= whole;
        }
        if (text[i] == '\n') {
            piece[used++] = '\r';
        }
        piece[used++] = text[i];
    }
    writePiece(handle, isConsole, piece, used);
}

// A console window gives no way to learn whether a write would wait, so every text goes to the
// console thread.
std::size_t writeWithoutWaiting(ConsoleStream, const char*, std::size_t) {
    return 0;
}

// The status line works through the console's own calls, not VT sequences, so that the classic
// console draws it as Windows Terminal does.
static bool readOutputBuffer(HANDLE* handle, CONSOLE_SCREEN_BUFFER_INFO* info) {
    *handle = GetStdHandle(STD_OUTPUT_HANDLE);
    return *handle != nullptr && *handle != INVALID_HANDLE_VALUE &&
           GetConsoleScreenBufferInfo(*handle, info) != 0;
}

int terminalColumns() {
    HANDLE handle = nullptr;
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!readOutputBuffer(&handle, &info)) {
        return 0;
    }
    return info.srWindow.Right - info.srWindow.Left + 1;
}

void hideStatusText() {
    HANDLE handle = nullptr;
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!readOutputBuffer(&handle, &info)) {
        return;
    }
    COORD lineStart = {0, info.dwCursorPosition.Y};
    DWORD filled = 0;
    (void)FillConsoleOutputCharacterW(handle, L' ', static_cast<DWORD>(info.dwSize.X), lineStart,
                                      &filled);  // a line left as it was is only untidy
    (void)SetConsoleCursorPosition(handle, lineStart);
}

void showStatusText(const char* text, std::size_t length) {
    hideStatusText();
    writeWholeText(ConsoleStream::kOutput, text, length);
}

// ---------------------------------------------------------------------------------------------
// Ending the process.

static void (*terminationCleanup)() = nullptr;  // set before the handler is installed
static SRWLOCK terminationLock = SRWLOCK_INIT;
static bool terminationDone = false;  // under terminationLock

// Windows runs this on a new thread for each event, so it may take locks and wait. Returning
// FALSE passes the event on to the default handler, which ends the process with
// STATUS_CONTROL_C_EXIT as it would have without us; after a closed window the system ends the
// process anyway, 5 s after the event.
static BOOL WINAPI onConsoleEvent(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
        return FALSE;
    }
    // A second event waits here for the first one's cleanup instead of ending the process in
    // the middle of it.
    AcquireSRWLockExclusive(&terminationLock);
    if (!terminationDone) {
        terminationCleanup();
        (void)flushConsole(kConsoleFlushMilliseconds);
        terminationDone = true;
    }
    ReleaseSRWLockExclusive(&terminationLock);
    return FALSE;
}

int handleTermination(void (*cleanup)()) {
    terminationCleanup = cleanup;
    return SetConsoleCtrlHandler(onConsoleEvent, TRUE) ? 0 : failWithSystemError();
}

// Windows sends a process no request to reopen its files; a log is rotated by copying it and
// then emptying it, which the appending descriptor follows.
void handleReopenRequest(void (*)()) {}

int readSecretFromConsole(const char* prompt, char* out, std::size_t outSize) {
    constexpr std::size_t kSecretUnits = 512;
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD original = 0;
    if (outSize == 0 || input == INVALID_HANDLE_VALUE || !GetConsoleMode(input, &original)) {
        return failWithRuntimeError(ENOTTY);
    }
    DWORD silent = (original | ENABLE_LINE_INPUT) & ~static_cast<DWORD>(ENABLE_ECHO_INPUT);
    if (!SetConsoleMode(input, silent)) {
        return failWithSystemError();
    }
    writeWholeText(ConsoleStream::kOutput, prompt, std::strlen(prompt));
    wchar_t line[kSecretUnits];
    DWORD count = 0;
    bool isRead = ReadConsoleW(input, line, static_cast<DWORD>(kSecretUnits - 1), &count, nullptr);
    int result = isRead ? 0 : failWithSystemError();
    (void)SetConsoleMode(input, original);            // a console we cannot reset is lost
    writeWholeText(ConsoleStream::kOutput, "\n", 1);  // the typed line end was not echoed
    while (count > 0 && (line[count - 1] == L'\n' || line[count - 1] == L'\r')) {
        count--;
    }
    line[count] = L'\0';
    if (result == 0) {
        result = toUtf8Text(line, out, outSize);
    }
    SecureZeroMemory(line, sizeof line);
    if (result != 0) {
        SecureZeroMemory(out, outSize);
    }
    return result;
}
