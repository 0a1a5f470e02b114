// CaptureStdout: descriptor 1 points at an unnamed temporary file meanwhile.
#include "CaptureStdout.h"

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

cCaptureStdout::cCaptureStdout() : SavedFd((fflush(stdout), dup(STDOUT_FILENO)))
{
    CaptureFd = open("/tmp", O_TMPFILE | O_RDWR, 0600);
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
    std::string Text(static_cast<size_t>(lseek(CaptureFd, 0, SEEK_END)), '\0');
    Text.resize(static_cast<size_t>(pread(CaptureFd, &Text[0], Text.size(), 0)));
    close(CaptureFd);
    return Text;
}
