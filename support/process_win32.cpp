#include "support/process.h"

#include <clocale>
#include <cstdio>
#include <windows.h>

void raise_process_priority()
{
    // Failures are ignored: without the right the process runs as it is.
    (void)SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS);
    (void)SetProcessPriorityBoost(GetCurrentProcess(), TRUE);
}

bool is_debugger_present()
{
    return IsDebuggerPresent() != 0;
}

void exit_process(std::uint32_t code)
{
    std::fflush(stdout);
    std::fflush(stderr);
    ExitProcess(code);
}

std::uint64_t system_page_size()
{
    SYSTEM_INFO info{};
    GetSystemInfo(&info);
    return info.dwPageSize != 0 ? info.dwPageSize : 4096;
}

int read_console_char()
{
    return std::getchar();
}

void set_runtime_locale()
{
    // Numbers are printed without grouping either way: the console text is
    // UTF-8 made by the program itself, whatever the locale.
    (void)std::setlocale(LC_ALL, "bg-BG");
}

void ignore_broken_pipes()
{
    // Windows raises no signal for a send to a peer that has gone.
}
