// session/command_reader.h: turning the bytes of the control connection into command lines.
// Line assembly works on a byte buffer alone, apart from the receive, so it can be tested and
// fuzzed without a socket.
#pragma once

#include <cstddef>

#include "session/dispatch.h"
#include "session/session.h"

// A verb is read as up to five letters; one of the longer verbs ("XSHA256", "XMD5") whole.
constexpr std::size_t kVerbLetters = 5;
constexpr std::size_t kVerbTextSize = 8;

// Appends received bytes to what the reader holds; the caller gives at most the room left
// (kCommandBufferSize - heldLength). A line feed that completes an earlier CR is dropped here.
void appendCommandBytes(CommandReader* reader, const char* data, std::size_t count);

// Takes the next line from the held bytes. A line ends at CR LF, a lone CR or a lone LF; the
// search covers every byte held, zero bytes included. Returns 1 with the line's bytes (line
// end excluded) in line and their count in lineLength; 0 when more bytes are needed; -1 when
// the buffer is full and holds no line end. line has room for kCommandBufferSize bytes.
int takeCommandLine(CommandReader* reader, char* line, std::size_t* lineLength);

// Takes Telnet commands out of a line in place and returns its new length: IAC and the byte
// after it (three bytes for an option's WILL, WONT, DO or DONT; IAC IAC stands for one 255),
// and command bytes left at the line's start when their IAC went as urgent data. Clients
// send "IAC IP IAC DM" before ABOR to cut a transfer short.
std::size_t stripTelnetCommands(char* line, std::size_t length);

// True when one of the whole lines the reader holds is ABOR.
bool holdsAbortCommand(const CommandReader* reader);

// Splits one line into its verb (up to five letters, upper-cased) and argument, and looks the
// verb up. Echoes the line on the console when verbose, and reports an unknown verb there
// (&kUnrecognisedVerb), each after echoPrefix (the time and client of "-status"). A known verb
// whose argument holds a byte below 32 gives &kRefusedArgument (its transfer forms for RETR, STOR
// and APPE).
const Verb* parseCommandLine(const char* line, std::size_t lineLength, char* argumentText,
                             std::size_t argumentSize, const char* echoPrefix = "");

// Reads the next command line of the session. Returns its verb, or nullptr when the
// connection ends, fails, or sends kCommandBufferSize bytes without a line end, and after
// "421 Timeout." when it sends nothing for the session's idle limit.
const Verb* readCommand(FtpSession* session, char* argumentText);

// Takes what the client sent on the control connection during a transfer into the command
// reader, waiting at most milliseconds for something to come, and tells whether ABOR is
// among the whole lines held or the connection has ended. A reader that is full is not
// read: *watch becomes kNoSocket then, since nothing more can be taken.
ControlNews takeControlNews(FtpSession* session, int milliseconds, SocketHandle* watch);
