#include "support/process.h"

#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/resource.h>
#include <unistd.h>

void raise_process_priority()
{
    // Like a high priority class: a few steps above normal where allowed.
    (void)setpriority(PRIO_PROCESS, 0, -10);
}

bool is_debugger_present()
{
    FILE* f = std::fopen("/proc/self/status", "r");
    if (!f)
        return false;
    char line[256];
    bool traced = false;
    while (std::fgets(line, sizeof(line), f)) {
        if (std::strncmp(line, "TracerPid:", 10) == 0) {
            const char* p = line + 10;
            while (*p == ' ' || *p == '\t')
                ++p;
            traced = *p != '0' && *p != '\n' && *p != '\0';
            break;
        }
    }
    std::fclose(f);
    return traced;
}

void exit_process(std::uint32_t code)
{
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(static_cast<int>(code));
}

std::uint64_t system_page_size()
{
    long size = sysconf(_SC_PAGESIZE);
    return size > 0 ? static_cast<std::uint64_t>(size) : 4096;
}

int read_console_char()
{
    return std::getchar();
}

void set_runtime_locale()
{
    // Numbers are printed without grouping either way; the locale only
    // matters for character conversions.
    (void)std::setlocale(LC_ALL, "bg_BG.UTF-8");
}

void ignore_broken_pipes()
{
    std::signal(SIGPIPE, SIG_IGN);
}
