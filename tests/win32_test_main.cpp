// The test programs' main on Windows. A crash must fail the test: without a
// filter of our own, Wine can end a crashed program with exit code 0, so any
// unhandled exception ends the process at once with a failure code.
#include <windows.h>

#include <cstdio>

#include <gtest/gtest.h>

namespace {

constexpr UINT kCrashExitCode = 3;

LONG WINAPI EndOnCrash(EXCEPTION_POINTERS* exception) {
    std::fprintf(stderr, "unhandled exception 0x%08lx: the test program ends\n",
                 exception != nullptr && exception->ExceptionRecord != nullptr
                     ? static_cast<unsigned long>(exception->ExceptionRecord->ExceptionCode)
                     : 0ul);
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), kCrashExitCode);
    return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

int main(int argc, char** argv) {
    SetUnhandledExceptionFilter(EndOnCrash);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
