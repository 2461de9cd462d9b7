// System error texts on POSIX: the system's own words, for the errno that happened.
#include <cerrno>

#include <gtest/gtest.h>

#include "transport/SystemError.h"
#include "transport/Transport.h"

TEST(SystemErrorText, TellsTheErrnoInTheSystemsWords) {
    errno = ENOSPC;
    const unsigned long full = LastSystemError();
    errno = ENXIO;  // shares its code with ENOENT; the text names the one that happened
    EXPECT_EQ(WindowsError(LastSystemError()), "No such device or address");
    // A code kept past other errors, or made by the core itself, is told as the errno it stands for.
    EXPECT_EQ(WindowsError(full), "No space left on device");
    EXPECT_EQ(WindowsError(kErrorFileNotFound), "No such file or directory");
    EXPECT_EQ(WindowsError(kWsaEconnrefused), "Connection refused");
}
