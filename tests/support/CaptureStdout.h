// CaptureStdout: collects what the code under test prints on standard
// output, at the descriptor level, so both printf and direct writes are seen.
#ifndef TESTS_SUPPORT_CAPTURESTDOUT_H
#define TESTS_SUPPORT_CAPTURESTDOUT_H

#include <string>

class cCaptureStdout
{
public:
    // Starts capturing: standard output goes to a temporary file.
    cCaptureStdout();
    // Restores standard output if Finish was not called.
    ~cCaptureStdout();
    cCaptureStdout(const cCaptureStdout&) = delete;
    cCaptureStdout& operator=(const cCaptureStdout&) = delete;

    // Stops capturing and returns everything printed since the start.
    std::string Finish();

private:
    int SavedFd;
    int CaptureFd;
};

#endif
