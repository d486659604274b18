#include "shell/entry.h"

#if defined(_WIN32)
// The system hands the command line over as UTF-16 already.
int wmain(int argc, wchar_t** argv)
{
    static_assert(sizeof(wchar_t) == sizeof(char16_t));
    return relay_main_wide(argc, reinterpret_cast<char16_t**>(argv));
}
#else
int main(int argc, char** argv)
{
    return relay_main_utf8(argc, argv);
}
#endif
