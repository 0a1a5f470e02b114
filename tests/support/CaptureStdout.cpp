// CaptureStdout: redirects descriptor 1 to an unlinked temporary file.
#include "CaptureStdout.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

cCaptureStdout::cCaptureStdout()
{
    fflush(stdout);
    char Template[] = "/tmp/capture-stdout-XXXXXX";
    CaptureFd = mkstemp(Template);
    if (CaptureFd < 0)
    {
        abort();
    }
    unlink(Template);
    SavedFd = dup(STDOUT_FILENO);
    dup2(CaptureFd, STDOUT_FILENO);
}

cCaptureStdout::~cCaptureStdout()
{
    if (SavedFd >= 0)
    {
        Finish();
    }
}

std::string cCaptureStdout::Finish()
{
    fflush(stdout);
    dup2(SavedFd, STDOUT_FILENO);
    close(SavedFd);
    SavedFd = -1;
    std::string Text;
    char Chunk[4096];
    ssize_t n;
    lseek(CaptureFd, 0, SEEK_SET);
    while ((n = read(CaptureFd, Chunk, sizeof(Chunk))) > 0)
    {
        Text.append(Chunk, static_cast<size_t>(n));
    }
    close(CaptureFd);
    CaptureFd = -1;
    return Text;
}
