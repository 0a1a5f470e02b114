// CaptureStdout: collects what the code under test prints on standard output
// from construction to Finish, at the descriptor level, so that printf and
// direct writes are both seen. The destructor restores standard output.
#ifndef TESTS_SUPPORT_CAPTURESTDOUT_H
#define TESTS_SUPPORT_CAPTURESTDOUT_H

#include <string>

class cCaptureStdout
{
public:
    cCaptureStdout();
    ~cCaptureStdout();
    cCaptureStdout(const cCaptureStdout&) = delete;
    cCaptureStdout& operator=(const cCaptureStdout&) = delete;
    std::string Finish();

private:
    int SavedFd;
    int CaptureFd;
};

#endif
