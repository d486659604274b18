#include "shell/entry.h"

int main(int argc, char** argv)
{
    return relay_main_utf8(argc, argv);
}
