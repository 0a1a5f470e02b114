// PromOutput: what promtool writes: text for the terminal (anything that is
// not printable UTF-8 escaped), JSON documents, and standard output kept for
// data while the record, I2C and crypto layers report on it.
#ifndef TOOLS_PROMOUTPUT_H
#define TOOLS_PROMOUTPUT_H

#include <cstddef>
#include <cstdint>
#include <string>

#include <jansson.h>

// True when Length bytes at pText are valid UTF-8.
bool Utf8IsValid(const char* pText, size_t Length);
// Text for the terminal: Length bytes with everything that is not printable
// UTF-8 (control bytes, NUL, DEL, C1 controls, broken sequences) and the
// backslash written as \xNN.
std::string EscapedText(const uint8_t* pBytes, size_t Length);
// Text from the wire (identity messages, heartbeats) for the terminal:
// escaped as EscapedText, but a backslash stays, since in a JSON text it is
// the text's own escape.
std::string WireText(const std::string& Text);

// Length bytes as lower-case hex digits, two a byte.
std::string HexText(const uint8_t* pBytes, size_t Length);

// What came from the wire (an identity, a heartbeat's name) as JSON: the
// value the text holds when it is a JSON text, else the text as a string
// (escaped as EscapedText when it is not UTF-8). A new reference.
json_t* WireJson(const std::string& Text);

// Prints pjtObject (a reference taken) on standard output as one JSON
// document (json_dumps Flags: indented, or JSON_COMPACT for one line) and a
// line end, with DEL and the C1 controls, which jansson writes raw, as \u
// escapes.
void PrintJson(json_t* pjtObject, size_t Flags = JSON_INDENT(2));
// Flushes standard output. A failed write anywhere on it (a full disk, a
// closed pipe) is reported and turns Status into ExitFailed when it was 0.
int FinishOutput(int Status);

// While an object of this class lives, standard output goes to standard
// error: for the reports of the record, I2C and crypto layers.
class cReportsToStderr
{
public:
    cReportsToStderr();
    ~cReportsToStderr();
    cReportsToStderr(const cReportsToStderr&) = delete;
    cReportsToStderr& operator=(const cReportsToStderr&) = delete;

private:
    int SavedStdout;    // the real standard output, restored at the end
};

#endif
